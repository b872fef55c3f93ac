#pragma once

// The one place where errno values become texts.

#include <string>

namespace km {

// The system's text for an errno value ("No such file or directory").
// Any thread may call it.
std::string SysErrorMessage(int errnum);

}  // namespace km
