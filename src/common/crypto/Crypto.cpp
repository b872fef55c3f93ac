#include "common/crypto/Crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <vector>

#include "common/base/KmException.h"

namespace km {
namespace {

struct TMdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct TKeyDeleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct TKeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct TBioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using TMdCtxPtr = std::unique_ptr<EVP_MD_CTX, TMdCtxDeleter>;
using TKeyPtr = std::unique_ptr<EVP_PKEY, TKeyDeleter>;

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0f];
    }
    return hex;
}

bool IsBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

struct TSha256::TState {
    TMdCtxPtr ctx{EVP_MD_CTX_new()};
};

TSha256::TSha256() : fState(std::make_unique<TState>()) {
    Reset();
}

TSha256::~TSha256() = default;

void TSha256::Reset() {
    if (!fState->ctx || EVP_DigestInit_ex(fState->ctx.get(), EVP_sha256(), nullptr) != 1) {
        throw Exception("SHA-256 is not available");
    }
}

void TSha256::Update(const void* data, size_t size) {
    EVP_DigestUpdate(fState->ctx.get(), data, size);
}

std::string TSha256::FinalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(fState->ctx.get(), digest, &size);
    Reset();
    return Hex(digest, size);
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    TSha256 sha;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        sha.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return sha.FinalHex();
}

std::optional<std::string> DecodeBase64Strict(std::string_view text) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            // Only at the end, at most two.
            if (i < text.size() - 2) {
                return std::nullopt;
            }
            ++padding;
        } else if (!IsBase64Character(c) || padding > 0) {
            return std::nullopt;
        }
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded < 0 || static_cast<size_t>(decoded) != bytes.size()) {
        return std::nullopt;
    }
    bytes.resize(bytes.size() - padding);
    // The unused bits of the last character must be zero: one text, one value.
    if (EncodeBase64(bytes) != text) {
        return std::nullopt;
    }
    return bytes;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(size));
    return text;
}

bool VerifyEd25519(std::string_view publicKey, std::string_view message,
                   std::string_view signature) {
    if (publicKey.size() != kEd25519PublicKeySize || signature.size() != kEd25519SignatureSize) {
        return false;
    }
    const TKeyPtr key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.data()),
        publicKey.size()));
    const TMdCtxPtr ctx(EVP_MD_CTX_new());
    return key && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

struct TEd25519Key::TState {
    TKeyPtr key;
};

TEd25519Key::TEd25519Key(std::unique_ptr<TState> state) : fState(std::move(state)) {}
TEd25519Key::~TEd25519Key() = default;
TEd25519Key::TEd25519Key(TEd25519Key&&) noexcept = default;
TEd25519Key& TEd25519Key::operator=(TEd25519Key&&) noexcept = default;

TEd25519Key TEd25519Key::Generate() {
    const std::unique_ptr<EVP_PKEY_CTX, TKeyCtxDeleter> ctx(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* made = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &made) != 1) {
        throw Exception("Cannot make an Ed25519 key");
    }
    auto state = std::make_unique<TState>();
    state->key.reset(made);
    return TEd25519Key(std::move(state));
}

TEd25519Key TEd25519Key::FromPem(const std::string& pem) {
    const std::unique_ptr<BIO, TBioDeleter> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    TKeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        throw Exception("Not an Ed25519 private key in PEM form");
    }
    auto state = std::make_unique<TState>();
    state->key = std::move(key);
    return TEd25519Key(std::move(state));
}

std::string TEd25519Key::Pem() const {
    const std::unique_ptr<BIO, TBioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), fState->key.get(), nullptr, nullptr, 0,
                                              nullptr, nullptr) != 1) {
        throw Exception("Cannot write the key");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string TEd25519Key::PublicKey() const {
    std::string key(kEd25519PublicKeySize, '\0');
    size_t size = key.size();
    if (EVP_PKEY_get_raw_public_key(fState->key.get(), reinterpret_cast<unsigned char*>(key.data()),
                                    &size) != 1 ||
        size != kEd25519PublicKeySize) {
        throw Exception("Cannot read the public key");
    }
    return key;
}

std::string TEd25519Key::Sign(std::string_view message) const {
    const TMdCtxPtr ctx(EVP_MD_CTX_new());
    std::string signature(kEd25519SignatureSize, '\0');
    size_t size = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, fState->key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        throw Exception("Cannot sign");
    }
    return signature;
}

}  // namespace km
