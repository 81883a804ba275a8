// Parser of the declaration texts that classes register ("Name(byref a as Integer, b as
// Double = 0, Assigns v as Variant) as String") and the C representation of each type name.
#include <cctype>

#include "internal.h"

namespace xnq::host::detail {

std::string lower(std::string s) {
  for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool caseEqual(const std::string &a, const std::string &b) { return lower(a) == lower(b); }

TypeDesc describeType(const std::string &typeName) {
  static const std::map<std::string, TypeDesc> table = {
      {"integer", {CType::Word, Type::Integer}},
      {"int8", {CType::Int8, Type::Integer}},
      {"uint8", {CType::UInt8, Type::Integer}},
      {"byte", {CType::UInt8, Type::Integer}},
      {"int16", {CType::Int16, Type::Integer}},
      {"uint16", {CType::UInt16, Type::Integer}},
      {"int32", {CType::Int32, Type::Int32}},
      {"uint32", {CType::UInt32, Type::UInt32}},
      {"int64", {CType::Int64, Type::Int64}},
      {"uint64", {CType::UInt64, Type::UInt64}},
      {"single", {CType::Single, Type::Single}},
      {"double", {CType::Double, Type::Double}},
      {"boolean", {CType::Boolean, Type::Boolean}},
      {"string", {CType::Handle, Type::String}},
      {"memoryblock", {CType::Handle, Type::MemoryBlock}},
      {"folderitem", {CType::Handle, Type::FolderItem}},
      {"variant", {CType::Handle, Type::Variant}},
      {"dictionary", {CType::Handle, Type::Dictionary}},
      {"ptr", {CType::Word, Type::Integer}},
      {"integer()", {CType::Handle, Type::IntegerArray}},
      {"single()", {CType::Handle, Type::SingleArray}},
      {"double()", {CType::Handle, Type::DoubleArray}},
  };
  if (typeName.empty()) return {CType::Void, Type::Nil};
  auto it = table.find(lower(typeName));
  if (it != table.end()) return it->second;
  // Any other name is a class of the host or of a plugin: its objects travel as handles.
  return {CType::Handle, Type::Object, false};
}

namespace {

struct Cursor {
  const std::string &s;
  size_t i = 0;
  void skip() {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  }
  bool atEnd() {
    skip();
    return i >= s.size();
  }
  bool peek(char c) {
    skip();
    return i < s.size() && s[i] == c;
  }
  bool take(char c) {
    if (!peek(c)) return false;
    ++i;
    return true;
  }
  std::string identifier() {
    skip();
    size_t start = i;
    if (i < s.size() && (std::isalpha(static_cast<unsigned char>(s[i])) || s[i] == '_')) {
      ++i;
      while (i < s.size() &&
             (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '.'))
        ++i;
    }
    return s.substr(start, i - start);
  }
  // Takes a keyword followed by a non-identifier character; leaves the cursor alone otherwise.
  bool keyword(const char *word) {
    skip();
    size_t save = i;
    std::string id = identifier();
    if (caseEqual(id, word)) return true;
    i = save;
    return false;
  }
  // A type name, with "()" for arrays.
  std::string typeName() {
    std::string t = identifier();
    if (t.empty()) return t;
    size_t save = i;
    if (take('(')) {
      if (take(')')) return t + "()";
      i = save;
    }
    return t;
  }
  // The text of a default value, up to the next ',' or ')' outside quotes.
  std::string defaultText() {
    skip();
    size_t start = i;
    bool quoted = false;
    while (i < s.size()) {
      char c = s[i];
      if (c == '"') quoted = !quoted;
      if (!quoted && (c == ',' || c == ')')) break;
      ++i;
    }
    std::string t = s.substr(start, i - start);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
    return t;
  }
};

}  // namespace

std::optional<Declaration> parseDeclaration(const std::string &text, std::string *why) {
  auto fail = [&](const std::string &reason) -> std::optional<Declaration> {
    if (why) *why = reason;
    return std::nullopt;
  };
  Cursor c{text};
  Declaration d;
  d.name = c.identifier();
  if (d.name.empty()) return fail("no name");
  if (c.take('(')) {
    if (!c.take(')')) {
      for (;;) {
        ParamInfo p;
        for (;;) {
          if (c.keyword("byref")) {
            p.byRef = true;
          } else if (c.keyword("assigns")) {
            p.assigns = true;
          } else if (c.keyword("byval") || c.keyword("extends")) {
          } else {
            break;
          }
        }
        p.name = c.identifier();
        if (p.name.empty()) return fail("parameter without a name");
        bool arrayName = false;
        if (c.take('(')) {
          if (!c.take(')')) return fail("bad array parameter " + p.name);
          arrayName = true;
        }
        if (!c.keyword("as")) return fail("parameter " + p.name + " has no type");
        p.typeName = c.typeName();
        if (p.typeName.empty()) return fail("parameter " + p.name + " has no type");
        if (arrayName && p.typeName.find("()") == std::string::npos) p.typeName += "()";
        if (c.take('=')) {
          std::string def = c.defaultText();
          if (def.empty()) return fail("parameter " + p.name + " has an empty default");
          p.defaultText = def;
        }
        d.params.push_back(std::move(p));
        if (c.take(',')) continue;
        if (c.take(')')) break;
        return fail("expected ',' or ')' after parameter");
      }
    }
  }
  if (c.keyword("as")) {
    d.resultType = c.typeName();
    if (d.resultType.empty()) return fail("result without a type");
  }
  if (!c.atEnd()) return fail("unexpected text after the declaration");
  for (size_t k = 0; k < d.params.size(); ++k) {
    if (d.params[k].assigns && k + 1 != d.params.size())
      return fail("Assigns parameter is not the last one");
  }
  return d;
}

}  // namespace xnq::host::detail
