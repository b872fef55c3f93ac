#pragma once

// Text in the character set of the user's locale.

#include <string>
#include <string_view>

namespace km {

// The UTF-8 form of bytes encoded in the character set of the locale that
// the environment selects (LC_ALL, LC_CTYPE, LANG; the POSIX locale when none
// is set or it is not installed), whatever the process has passed to
// setlocale. This is what the system-wide "ANSI" code page is elsewhere.
// Bytes that are not valid in that character set each become U+FFFD.
// Any thread may call it.
std::string LocaleBytesToUtf8(std::string_view bytes);

// utf8 in the 8-bit code page codePage (an iconv name such as
// "WINDOWS-1252"). Throws km::Exception naming the code page when it has no
// such conversion, when utf8 is not UTF-8 or holds a character the code page
// lacks: such a text has no form there, and a stand-in would be another text.
// Any thread may call it.
std::string Utf8ToCodePage(std::string_view utf8, const std::string& codePage);

}  // namespace km
