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

}  // namespace km
