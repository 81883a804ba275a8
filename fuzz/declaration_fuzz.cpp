// Fuzzes the host's parser of the declaration texts that plugins register ("Name(byref a as
// Integer, b as Double = 0) as String"). A text it takes must come back the same from its own
// parse written out again: names that are identifiers, one type per parameter, Assigns only
// last, defaults that end where the next parameter starts.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fuzz_check.h"
#include "internal.h"

namespace {

using fuzz::Check;
using xnq::host::detail::Declaration;
using xnq::host::detail::parseDeclaration;

std::string Write(const Declaration &d) {
  std::string text = d.name + "(";
  for (size_t k = 0; k < d.params.size(); ++k) {
    const auto &p = d.params[k];
    if (k > 0) text += ", ";
    if (p.byRef) text += "ByRef ";
    if (p.assigns) text += "Assigns ";
    text += p.name + " As " + p.typeName;
    if (p.defaultText) text += " = " + *p.defaultText;
  }
  text += ")";
  if (!d.resultType.empty()) text += " As " + d.resultType;
  return text;
}

bool Same(const Declaration &a, const Declaration &b) {
  if (a.name != b.name || a.resultType != b.resultType || a.params.size() != b.params.size())
    return false;
  for (size_t k = 0; k < a.params.size(); ++k) {
    const auto &p = a.params[k], &q = b.params[k];
    if (p.name != q.name || p.typeName != q.typeName || p.byRef != q.byRef ||
        p.assigns != q.assigns || p.defaultText != q.defaultText)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::string why;
  const auto parsed = parseDeclaration(text, &why);
  Check(parsed.has_value() || !why.empty());
  if (!parsed) return 0;
  Check(!parsed->name.empty());
  for (size_t k = 0; k < parsed->params.size(); ++k) {
    Check(!parsed->params[k].name.empty() && !parsed->params[k].typeName.empty());
    Check(!parsed->params[k].assigns || k + 1 == parsed->params.size());
  }
  const std::string again = Write(*parsed);
  const auto reparsed = parseDeclaration(again, &why);
  Check(reparsed.has_value() && Same(*parsed, *reparsed));
  return 0;
}
