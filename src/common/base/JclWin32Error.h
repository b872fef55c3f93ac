#pragma once

// The operating-system error raised when a program cannot be started. The
// name and message format are those our error texts have always shown
// ("Win32 error: ..."); on this platform the code is an errno value.

#include <cstdint>
#include <string>

#include "common/base/KmException.h"

namespace km {

class EJclWin32Error : public Exception {
  public:
    // Takes the calling thread's errno as LastError; read before anything else
    // can change it.
    explicit EJclWin32Error(const std::string& text);
    // For calls that return their error code instead of setting errno
    // (posix_spawn and friends).
    EJclWin32Error(int errorCode, const std::string& text);
    KM_EXCEPTION_CLASS_NAME(EJclWin32Error)

    // The message is "Win32 error: <LastErrorMsg> (<LastError>)\r\n<text>".
    uint32_t LastError() const { return fLastError; }
    const std::string& LastErrorMsg() const { return fLastErrorMsg; }

  private:
    void Init(int errorCode, const std::string& text);

    uint32_t fLastError = 0;
    std::string fLastErrorMsg;
};

}  // namespace km
