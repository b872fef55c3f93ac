#include "common/base/SysError.h"

#include <cstring>

namespace km {

std::string SysErrorMessage(int errnum) {
    char buffer[256];
    // The GNU variant may return a static string instead of filling buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : "Error " + std::to_string(errnum);
}

}  // namespace km
