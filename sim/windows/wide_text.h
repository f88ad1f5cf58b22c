// Text helpers of the simulated Windows: UTF-8 (how the scenario and the trace
// spell names) to and from UTF-16 (what the program passes), and the
// case-insensitive comparison Windows uses for file names and registry keys.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim::windows {

// Ill-formed input becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Whether text has no unpaired surrogate.
bool Utf16IsWellFormed(std::u16string_view text);

// The characters up to the terminator; null gives an empty view.
std::u16string_view WideView(const char16_t* text);

// Case-insensitive (ASCII letters fold; Windows' own table agrees on those).
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string LowerAscii(std::string_view text);

}  // namespace sim::windows
