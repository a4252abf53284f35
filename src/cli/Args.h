#pragma once
// A small parser for "dravik VERB [options] ARGS": options may stand before or
// after the positional arguments; "--name value" and "--name=value" both work.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravik::cli {

struct OptionSpec {
  std::string name;  // without the leading dashes
  bool takesValue = false;
};

struct ParsedArgs {
  std::vector<std::string> positionals;
  std::map<std::string, std::vector<std::string>> values;  // every value given, in order
  std::string error;                                      // empty when the arguments were understood

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::optional<std::string> Value(const std::string& name) const;
};

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& options);

// A non-negative byte count or offset: decimal, or hexadecimal with 0x.
std::optional<unsigned long long> ParseByteCount(const std::string& text);

}  // namespace dravik::cli
