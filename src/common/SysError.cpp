#include "common/SysError.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace km {

std::string SysErrorMessage(int errnum) {
    char buffer[256];
    // The GNU variant may return a static string instead of filling buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : "Error " + std::to_string(errnum);
}

int TUniqueFd::Reset(int fd) {
    int result = 0;
    if (fFd >= 0 && ::close(fFd) != 0) {
        result = errno;
    }
    fFd = fd;
    return result;
}

}  // namespace km
