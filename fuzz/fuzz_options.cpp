// The option scan against a plain model of its rules, written here without
// looking at the scan. The input's bytes are the arguments, split on NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Model {
  double duration = 15.0;
  bool forceDsc = true;
  bool powerOff = false;
  std::int32_t mode = -1;
  int imageIndex = -1;  // which argument the image path is
};

bool Same(const char* a, const char* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Blanks, an optional sign, then digits; saturates, then clamps to 32 bits.
std::int32_t LeadingInteger(const char* s) {
  while (IsBlank(*s)) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  std::int64_t magnitude = 0;
  constexpr std::int64_t kCap = std::int64_t{1} << 40;  // far beyond 32 bits
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (magnitude < kCap) magnitude = magnitude * 10 + (*s - '0');
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

Model Expect(const std::vector<char*>& args) {
  Model m;
  const int n = static_cast<int>(args.size());
  // atof is strtod without the end pointer, by definition.
  if (n >= 2) m.duration = std::strtod(args[1], nullptr);
  int i = 0;
  while (i < n) {
    const char* a = args[i];
    const bool last = i + 1 == n;
    if (Same(a, "--force-dsc")) {
      m.forceDsc = true;
    } else if (Same(a, "--no-force-dsc")) {
      m.forceDsc = false;
    } else if (Same(a, "--power-off")) {
      m.powerOff = true;
    } else if (Same(a, "--mode") && !last) {
      m.mode = LeadingInteger(args[i + 1]);  // and the value is scanned too
    } else if (Same(a, "--image") && !last) {
      m.imageIndex = i + 1;
      i += 2;
      continue;
    }
    ++i;
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every argument in its own block, so that ASan sees a read past any one.
  std::vector<std::vector<char>> storage;
  if (size > 0) {
    storage.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        storage.back().push_back('\0');
        storage.emplace_back();
      } else {
        storage.back().push_back(static_cast<char>(data[i]));
      }
    }
    storage.back().push_back('\0');
  }
  std::vector<char*> args;
  for (std::vector<char>& s : storage) args.push_back(s.data());
  std::vector<char*> argv = args;
  argv.push_back(nullptr);  // as main's vector ends

  const RunOptions got = ScanOptions(static_cast<int>(args.size()), argv.data());
  const Model want = Expect(args);

  FUZZ_CHECK(std::memcmp(&got.duration, &want.duration, sizeof got.duration) == 0);
  FUZZ_CHECK(got.forceDsc == want.forceDsc);
  FUZZ_CHECK(got.powerOff == want.powerOff);
  FUZZ_CHECK(got.mode == want.mode);
  if (want.imageIndex < 0) {
    FUZZ_CHECK(got.image == nullptr);
  } else {
    // The path is the argument itself, not a copy.
    FUZZ_CHECK(got.image == args[static_cast<std::size_t>(want.imageIndex)]);
  }
  return 0;
}
