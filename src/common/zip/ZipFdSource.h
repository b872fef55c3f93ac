#pragma once

// A libzip source over an open file whose reads go through the file-system
// seam (Fs().Pread), so that the archive is read from the very file the
// caller opened and checked, and a failing read can be tried in tests.

#include <zip.h>

namespace km {

// A new source reading the regular file open as fd (which must stay open
// while the source lives; the source does not own it). nullptr, with error
// set, when it cannot be made. Free it with zip_source_free unless
// zip_open_from_source took it over.
zip_source_t* CreateZipFdSource(int fd, zip_error_t* error);

}  // namespace km
