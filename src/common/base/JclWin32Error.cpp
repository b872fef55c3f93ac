#include "common/base/JclWin32Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/base/SysError.h"

namespace km {

namespace {

// The system's text without trailing blanks, line breaks and full stops.
std::string TrimmedErrorText(int errorCode) {
    std::string text = SysErrorMessage(errorCode);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

EJclWin32Error::EJclWin32Error(const std::string& text) : EJclWin32Error(errno, text) {}

EJclWin32Error::EJclWin32Error(int errorCode, const std::string& text) {
    Init(errorCode, text);
}

void EJclWin32Error::Init(int errorCode, const std::string& text) {
    fLastError = static_cast<uint32_t>(errorCode);
    fLastErrorMsg = TrimmedErrorText(errorCode);
    SetMessage("Win32 error: " + fLastErrorMsg + " (" + std::to_string(fLastError) + ")\r\n" +
               text);
}

}  // namespace km
