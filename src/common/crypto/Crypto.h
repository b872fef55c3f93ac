#pragma once

// SHA-256 digests, strict base64 and Ed25519 signatures, all on OpenSSL's
// libcrypto (EVP). The front door of the crypto concern.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace km {

// A SHA-256 digest computed over data given in pieces.
class TSha256 {
  public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void Reset();
    void Update(const void* data, size_t size);
    // The digest of everything since the last Reset, in lower-case hex; the
    // object starts again afterwards.
    std::string FinalHex();

  private:
    struct TState;
    std::unique_ptr<TState> fState;
};

// The SHA-256 of a whole file in lower-case hex, or nothing when it cannot be
// read.
std::optional<std::string> Sha256OfFile(const std::string& path);

// The bytes of text in standard base64 (with padding, no line breaks, no
// blanks but a trailing line break), or nothing for anything else.
std::optional<std::string> DecodeBase64Strict(std::string_view text);
std::string EncodeBase64(std::string_view bytes);

inline constexpr size_t kEd25519PublicKeySize = 32;
inline constexpr size_t kEd25519SignatureSize = 64;

// Whether signature (64 bytes) is publicKey's (32 bytes) Ed25519 signature
// of message. False for keys or signatures of another length.
bool VerifyEd25519(std::string_view publicKey, std::string_view message,
                   std::string_view signature);

// An Ed25519 private key for signing (the publisher's side).
class TEd25519Key {
  public:
    // A new random key.
    static TEd25519Key Generate();
    // A key from PKCS#8 PEM text (as written by WritePem or by
    // "openssl genpkey -algorithm ed25519"); throws km::Exception otherwise.
    static TEd25519Key FromPem(const std::string& pem);
    ~TEd25519Key();
    TEd25519Key(TEd25519Key&&) noexcept;
    TEd25519Key& operator=(TEd25519Key&&) noexcept;

    std::string Pem() const;
    // The raw 32-byte public key.
    std::string PublicKey() const;
    // The 64-byte signature of message.
    std::string Sign(std::string_view message) const;

  private:
    struct TState;
    explicit TEd25519Key(std::unique_ptr<TState> state);
    std::unique_ptr<TState> fState;
};

}  // namespace km
