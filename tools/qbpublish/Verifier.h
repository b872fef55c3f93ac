#pragma once

// Checks a published project folder before it is uploaded (or a server's
// copy after): the descriptor parses, its signature is one of the given
// keys' (when keys are given), and every package, mirror copy and delta it
// names is there with the size and digest it names. Packages named by an
// absolute URL (a CDN, a mirror) are fetched to be checked.

#include <string>
#include <vector>

namespace qbpublish {

struct TVerifyResult {
    bool Ok = true;
    // One line per check, "ok ..." or "FAIL ...".
    std::vector<std::string> Lines;
};

// keys: raw 32-byte Ed25519 public keys (none: the signature is not
// checked, only reported).
TVerifyResult Verify(const std::string& dir, const std::vector<std::string>& keys);

}  // namespace qbpublish
