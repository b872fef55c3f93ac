#include "common/files/UniqueFd.h"

#include <unistd.h>

#include <cerrno>

namespace km {

int TUniqueFd::Reset(int fd) {
    int result = 0;
    if (fFd >= 0 && ::close(fFd) != 0) {
        result = errno;
    }
    fFd = fd;
    return result;
}

}  // namespace km
