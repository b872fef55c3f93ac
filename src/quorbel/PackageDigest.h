#pragma once

// How a package is named and recognised wherever it comes from: its file
// name from its URL and its SHA-256.

#include <string>

namespace qb {

// The name under which a package of url is stored while it downloads; ""
// when url names no file (".../").
std::string PackageFileName(const std::string& url);

// The SHA-256 (lower-case hex) of the file open as fd, read through the
// file-system seam; "" when it cannot be read.
std::string DigestOfFile(int fd);

// Whether text is a SHA-256 in lower-case hex.
bool IsSha256Hex(const std::string& text);

}  // namespace qb
