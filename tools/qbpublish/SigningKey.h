#pragma once

// The vendor's Ed25519 signing key: made once, kept offline, read to sign.

#include <string>

namespace qbpublish {

// Writes a new Ed25519 key to keyFile as PKCS#8 PEM, mode 0600, never over an
// existing file (EPublishError), and returns its public key line.
std::string GenerateSigningKey(const std::string& keyFile);

// The public key line of the Ed25519 key in keyFile (a private key as
// keygen or "openssl genpkey -algorithm ed25519" writes it); its PEM text
// goes to pem. EPublishError when it holds none.
std::string ReadSigningKey(const std::string& keyFile, std::string& pem);

// The line a build takes in QB_UPDATE_PUBLIC_KEYS for the raw 32-byte public
// key: its base64.
std::string PublicKeyLine(const std::string& rawPublicKey);

}  // namespace qbpublish
