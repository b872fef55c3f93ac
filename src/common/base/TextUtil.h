#pragma once

// Text helpers on UTF-8 strings that our error texts and lookups need.
// Letter case follows Unicode (not only ASCII), independent of the process's
// LC_CTYPE setting, so that comparisons behave the same on every machine.

#include <string>
#include <string_view>

namespace km {

// The text with every letter in upper case.
std::string AnsiUpperCase(std::string_view text);
// The text with every letter in lower case.
std::string AnsiLowerCase(std::string_view text);
// Equal without regard to letter case.
bool SameText(std::string_view a, std::string_view b);
// Equal without regard to the case of ASCII letters only.
bool SameTextAscii(std::string_view a, std::string_view b);
// Whether part occurs in text, both upper-cased first.
bool ContainsText(std::string_view text, std::string_view part);
// The text without leading and trailing blanks and control characters
// (every byte up to and including the blank).
std::string Trim(std::string_view text);
// The text with every occurrence of from replaced by to, scanning left to right.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
// Join(a, b, sep): a, sep and b when both are non-empty, otherwise the
// non-empty one, or the empty string.
std::string Join(std::string_view a, std::string_view b, std::string_view separator);

// The length of the UTF-8 sequence that starts at text[i]; 0 when the bytes
// there are not one (overlong, a surrogate, beyond U+10FFFF, cut short).
size_t Utf8SequenceLength(std::string_view text, size_t i);

// text for a terminal or a log line, whatever a server put into it: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 are written as
// "\xNN"; the result is valid UTF-8 and one line.
std::string PrintableText(std::string_view text);

}  // namespace km
