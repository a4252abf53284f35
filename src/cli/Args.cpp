#include "cli/Args.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace dravik::cli {

std::optional<std::string> ParsedArgs::Value(const std::string& name) const {
  const auto it = values.find(name);
  if (it == values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& options) {
  ParsedArgs parsed;
  bool onlyPositionals = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyPositionals || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (!onlyPositionals && arg.size() > 1 && arg[0] == '-' && arg != "-h") {
        parsed.error = "unknown option " + arg;
        return parsed;
      }
      if (arg == "-h") {
        parsed.values["help"].push_back("");
        continue;
      }
      parsed.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositionals = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    const auto option = std::find_if(options.begin(), options.end(), [&](const OptionSpec& o) { return o.name == name; });
    if (option == options.end()) {
      parsed.error = "unknown option --" + name;
      return parsed;
    }
    if (!option->takesValue) {
      if (inlineValue) {
        parsed.error = "option --" + name + " takes no value";
        return parsed;
      }
      parsed.values[name].push_back("");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        parsed.error = "option --" + name + " needs a value";
        return parsed;
      }
      inlineValue = args[++i];
    }
    parsed.values[name].push_back(*inlineValue);
  }
  return parsed;
}

std::optional<unsigned long long> ParseByteCount(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace dravik::cli
