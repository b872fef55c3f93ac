#pragma once

// What every user of libzip here shares: one owner per libzip handle and the
// one translation of libzip's error codes into our messages. Included by the
// extractor, the publisher and the tests' archive fixtures.

#include <zip.h>

#include <memory>
#include <string>

namespace km {

struct TZipDiscarder {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
// An archive that is discarded unless it was closed: whoever writes one
// calls zip_close and then release().
using TZipPtr = std::unique_ptr<zip_t, TZipDiscarder>;

struct TZipFileCloser {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using TZipFilePtr = std::unique_ptr<zip_file_t, TZipFileCloser>;

// Our text for a libzip error: the fixed extraction texts for a missing or
// wrong password, a CRC mismatch, an unsupported method and a file that is
// no archive; libzip's own text otherwise.
std::string ZipErrorMessage(zip_error_t* error);
// The same for a libzip error code (from zip_open and zip_fdopen).
std::string ZipErrorMessage(int code);

}  // namespace km
