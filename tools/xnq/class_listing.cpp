// xnq inspect: loads the plugin into the host and prints every class it registered, as the host
// sees it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "subcommand.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {

const char kUsage[] =
    "usage: xnq inspect [CLASS] [--host-version V|none]\n"
    "\n"
    "Loads the plugin and prints each registered class as the host sees it: layout version,\n"
    "instance data, constructor and destructor, properties, methods, events, constants and\n"
    "shared members. CLASS shows one class. --host-version loads the plugin under another host\n"
    "version (for example 2008.0, which takes the older class layout); 'none' removes the\n"
    "host's version function.";

// Rows of cells printed with each column as wide as its widest cell.
class Table {
 public:
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void print(const char *indent) const {
    std::vector<size_t> widths;
    for (const auto &row : rows_) {
      if (widths.size() < row.size()) widths.resize(row.size(), 0);
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto &row : rows_) {
      std::string line = indent;
      for (size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      printf("%s\n", line.c_str());
    }
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

std::string Accessor(bool standard, bool present) {
  if (!present) return "-";
  return standard ? "standard" : "routine";
}

void PrintProperties(const char *title, const std::vector<host::PropertyInfo> &properties) {
  if (properties.empty()) return;
  printf("  %s (%zu)\n", title, properties.size());
  Table table;
  table.add({"name", "type", "group", "getter", "setter", "at", "flags"});
  for (const auto &p : properties) {
    std::string group = p.groupIsNull ? "-" : "\"" + p.group + "\"";
    std::string setter = p.writable ? Accessor(p.standardSetter, true) : "read-only";
    table.add({p.name, p.typeName, group, Accessor(p.standardGetter, p.readable), setter,
               std::to_string(p.param), std::to_string(p.flags)});
  }
  table.print("    ");
}

void PrintMethods(const char *title, const std::vector<host::MethodInfo> &methods) {
  if (methods.empty()) return;
  printf("  %s (%zu)\n", title, methods.size());
  Table table;
  for (const auto &m : methods) {
    table.add({m.declaration, "flags " + std::to_string(m.flags), m.hasSetter ? "assignable" : ""});
  }
  table.print("    ");
}

void PrintClass(const host::ClassInfo &c) {
  printf("%s\n", c.name.c_str());
  Table head;
  head.add({"layout version", std::to_string(c.layoutVersion)});
  head.add({"instance data",
            std::to_string(c.dataSize) + " bytes at offset " + std::to_string(c.dataOffset)});
  head.add({"constructor", c.hasConstructor ? "yes" : "no"});
  head.add({"destructor", c.hasDestructor ? "yes" : "no"});
  head.add({"class flags", std::to_string(c.flags)});
  head.print("  ");
  PrintProperties("properties", c.properties);
  PrintMethods("methods", c.methods);
  if (!c.events.empty()) {
    printf("  events (%zu)\n", c.events.size());
    Table table;
    for (const auto &e : c.events) table.add({e.declaration, "id " + std::to_string(e.identifier)});
    table.print("    ");
  }
  if (!c.constants.empty()) {
    printf("  constants (%zu)\n", c.constants.size());
    Table table;
    for (const auto &k : c.constants) table.add({k.name, "=", k.valueText});
    table.print("    ");
  }
  PrintProperties("shared properties", c.sharedProperties);
  PrintMethods("shared methods", c.sharedMethods);
}

int RunInspect(const std::vector<std::string> &args) {
  std::string className;
  host::Settings settings;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--host-version") {
      if (i + 1 >= args.size()) {
        fprintf(stderr, "xnq inspect: --host-version needs a value\n%s\n", kUsage);
        return 2;
      }
      const std::string &value = args[++i];
      if (value == "none") {
        settings.version = std::nullopt;
      } else {
        char *end = nullptr;
        double version = strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0') {
          fprintf(stderr, "xnq inspect: '%s' is not a host version\n", value.c_str());
          return 2;
        }
        settings.version = version;
      }
    } else if (!args[i].empty() && args[i][0] == '-') {
      fprintf(stderr, "xnq inspect: unknown option '%s'\n%s\n", args[i].c_str(), kUsage);
      return 2;
    } else if (className.empty()) {
      className = args[i];
    } else {
      fprintf(stderr, "xnq inspect: one class at a time\n%s\n", kUsage);
      return 2;
    }
  }

  const char *path = getenv("XNQ_PLUGIN");
  if (path == nullptr || *path == '\0') path = XNQ_PLUGIN_PATH;
  auto &runtime = host::Runtime::get();
  if (!runtime.load(path, settings)) {
    fprintf(stderr, "xnq: cannot load the plugin %s: %s\n", path, runtime.error().c_str());
    return 1;
  }

  std::vector<const host::ClassInfo *> classes = runtime.classes();
  if (!className.empty()) {
    const host::ClassInfo *found = runtime.findClass(className);
    if (found == nullptr) {
      fprintf(stderr, "xnq inspect: the plugin registered no class '%s'\n", className.c_str());
      return 1;
    }
    classes = {found};
  } else {
    printf("plugin %s\nclass-definition version %d, %zu classes\n\n", path,
           runtime.registeredPluginVersion(), classes.size());
  }
  for (size_t i = 0; i < classes.size(); ++i) {
    if (i > 0) printf("\n");
    PrintClass(*classes[i]);
  }
  std::vector<std::string> errors = runtime.registrationErrors();
  for (const auto &error : errors) fprintf(stderr, "registration error: %s\n", error.c_str());
  return errors.empty() ? 0 : 1;
}

const Registrar kInspect({"inspect", "print the classes the plugin registers", kUsage, RunInspect});

}  // namespace
}  // namespace xnq::tool
