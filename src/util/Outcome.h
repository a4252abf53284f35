#pragma once
// How a step over possibly damaged input ended: the one shape the engine's
// readers and checks answer with.
//  - usable: the input was read, perhaps damaged and worked round;
//  - not this: the input is not of the kind asked for (no image of the
//    format, no file system of the family);
//  - failed: it is of that kind but could not be read.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dravik {

enum class Verdict : std::uint8_t { kUsable, kNotThis, kFailed };

struct Outcome {
  Verdict verdict = Verdict::kUsable;
  // What a front end shows: why it failed or is not this; for a usable
  // result what it says afterwards, or nothing.
  std::string message;
  // Usable: what was damaged and worked round. Otherwise: why it is not
  // this or failed, in more detail than the message.
  std::vector<std::string> details;

  bool Usable() const { return verdict == Verdict::kUsable; }
  void Fail(std::string why) {
    verdict = Verdict::kFailed;
    message = std::move(why);
  }
  void NotThis(std::string why) {
    verdict = Verdict::kNotThis;
    message = std::move(why);
  }
};

}  // namespace dravik
