#pragma once
// Writes one JSON object, members in the order they are added.

#include <cstdint>
#include <string>
#include <string_view>

namespace dravik::cli {

std::string JsonQuote(std::string_view text);

class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
  JsonObject& Add(std::string_view key, std::uint64_t number);
  JsonObject& Add(std::string_view key, std::int64_t number);
  JsonObject& Add(std::string_view key, std::uint32_t number) { return Add(key, std::uint64_t{number}); }
  JsonObject& Add(std::string_view key, std::int32_t number) { return Add(key, std::int64_t{number}); }
  JsonObject& Add(std::string_view key, double number);
  JsonObject& Add(std::string_view key, bool flag);
  // Adds an already written JSON value (an object or an array).
  JsonObject& AddRaw(std::string_view key, std::string_view json);

  std::string Str() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_;
};

}  // namespace dravik::cli
