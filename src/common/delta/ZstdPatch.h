#pragma once

// Binary patches of one file against an older version of it: zstd with the
// older file as prefix and long-distance matching, so that what both share,
// wherever it moved, costs next to nothing, at zstd's decompression speed.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace km {

// The window the patches are made with at most (2^27 = 128 MiB, which the
// decoder accepts by default): a base and its new version together beyond it
// would lose matches, so larger files are not patched.
inline constexpr int kZstdPatchWindowLog = 27;
inline constexpr int64_t kMaxZstdPatchFile = int64_t{48} << 20;

// The patch that turns base into target (each at most kMaxZstdPatchFile).
// Raises km::Exception when zstd fails.
std::string MakeZstdPatch(std::string_view base, std::string_view target, int level = 19);

// Applies the patch read (through Fs()) from patchFd against base, writing
// the result (through Fs()) to outFd and handing every piece written to
// onData. More than maxBytes of result is an error. Returns "" or why it
// failed (a damaged patch, the wrong base, a write error).
std::string ApplyZstdPatch(std::string_view base, int patchFd, int outFd, int64_t maxBytes,
                           const std::function<void(const char*, size_t)>& onData);

}  // namespace km
