#include "SigningKey.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "PublishError.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"

namespace qbpublish {

std::string PublicKeyLine(const std::string& rawPublicKey) {
    return km::EncodeBase64(rawPublicKey);
}

std::string GenerateSigningKey(const std::string& keyFile) {
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    const std::string pem = key.Pem();
    const int fd =
        ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw EPublishError("Cannot create " + keyFile +
                            " (it must not exist yet): " + std::strerror(errno));
    }
    const bool written = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    if (::close(fd) != 0 || !written) {
        ::unlink(keyFile.c_str());
        throw EPublishError("Cannot write " + keyFile);
    }
    return PublicKeyLine(key.PublicKey());
}

std::string ReadSigningKey(const std::string& keyFile, std::string& pem) {
    const std::optional<std::string> text = km::ReadWholeFile(keyFile);
    if (!text) {
        throw EPublishError("Cannot read the key " + keyFile);
    }
    try {
        const km::TEd25519Key key = km::TEd25519Key::FromPem(*text);
        pem = *text;
        return PublicKeyLine(key.PublicKey());
    } catch (const km::Exception& e) {
        throw EPublishError(keyFile + ": " + e.what());
    }
}

}  // namespace qbpublish
