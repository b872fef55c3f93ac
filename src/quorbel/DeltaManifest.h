#pragma once

// The manifest inside a delta package: what the full package of the new
// release unpacks to (every folder, and every file with its mode, time, size
// and SHA-256), how each file is made from the installed release it applies
// to (the installed file as it is, a patch of it, or the file itself from the
// delta), and what the new release no longer has.
//
// One entry per line, fields separated by tabs, the path last:
//   qbdelta 1
//   type <type>
//   base <date of the installed release>
//   d <path>
//   f <mode> <mtime> <size> <sha256> same - - <path>
//   f <mode> <mtime> <size> <sha256> patch <base sha256> <entry> <path>
//   f <mode> <mtime> <size> <sha256> add - <entry> <path>
//   r <path>
// Paths are the full package's entry names ("patch/lib/x.so"); entries name
// the delta package's own files ("p/3", "a/7"); times are local
// "YYYYMMDDhhmmss", as a ZIP entry keeps them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb {

struct TDeltaItem {
    enum class TKind { Folder, Same, Patch, Add };
    TKind Kind = TKind::Folder;
    std::string Path;
    // Files only: octal permission bits, time (seconds, as this machine
    // reads the local time written), size and SHA-256.
    unsigned Mode = 0644;
    int64_t MTime = 0;
    int64_t Size = 0;
    std::string Sha256;
    // Patch: the installed file's SHA-256; Patch and Add: the delta's entry.
    std::string BaseSha256;
    std::string Entry;
};

struct TDeltaManifest {
    std::string Type;
    std::string Base;
    std::vector<TDeltaItem> Items;
    std::vector<std::string> Removed;
};

// The manifest's bytes.
std::string WriteDeltaManifest(const TDeltaManifest& manifest);

// The manifest of text; nothing, with error set, when it is not one.
std::optional<TDeltaManifest> ParseDeltaManifest(const std::string& text, std::string& error);

// The name of the manifest inside a delta package.
inline constexpr const char* kDeltaManifestName = "manifest";

}  // namespace qb
