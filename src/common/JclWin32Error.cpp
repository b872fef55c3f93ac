#include "common/JclWin32Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace km {

std::string SysErrorMessage(int errorCode) {
    char buffer[256];
    // The GNU strerror_r: returns the text, which may or may not be in buffer.
    std::string text = strerror_r(errorCode, buffer, sizeof buffer);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

EJclWin32Error::EJclWin32Error(const std::string& text) : EJclWin32Error(errno, text) {}

EJclWin32Error::EJclWin32Error(int errorCode, const std::string& text) {
    Init(errorCode, text);
}

void EJclWin32Error::Init(int errorCode, const std::string& text) {
    fLastError = static_cast<uint32_t>(errorCode);
    fLastErrorMsg = SysErrorMessage(errorCode);
    SetMessage("Win32 error: " + fLastErrorMsg + " (" + std::to_string(fLastError) + ")\r\n" +
               text);
}

}  // namespace km
