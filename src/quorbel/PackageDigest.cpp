#include "quorbel/PackageDigest.h"

#include <sys/types.h>

#include <cerrno>
#include <vector>

#include "common/crypto/Crypto.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"

namespace qb {

std::string PackageFileName(const std::string& url) {
    const std::string name = km::ExtractUrlFileName(url);
    return name == "." || name == ".." ? std::string() : name;
}

std::string DigestOfFile(int fd) {
    km::TSha256 sha;
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t n = km::Fs().Pread(fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {};
        }
        if (n == 0) {
            return sha.FinalHex();
        }
        sha.Update(buffer.data(), static_cast<size_t>(n));
        at += n;
    }
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace qb
