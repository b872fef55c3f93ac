#pragma once

// Builds ZIP archives for tests: from a list of entries or from a folder
// tree, with optional traditional PKWARE encryption, and patches raw header
// fields or bytes to make damaged archives. Every function throws
// std::runtime_error when it cannot do its work.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kmtest {

struct ZipEntrySpec {
    ZipEntrySpec(std::string name, std::string content = {})
        : Name(std::move(name)), Content(std::move(content)) {}
    ZipEntrySpec& WithPassword(std::string password) {
        Password = std::move(password);
        return *this;
    }
    ZipEntrySpec& AsStored() {
        Stored = true;
        return *this;
    }
    ZipEntrySpec& WithUnixMode(uint32_t mode) {
        UnixMode = mode;
        return *this;
    }
    ZipEntrySpec& WithDosAttributes(uint8_t attributes) {
        DosAttributes = attributes;
        return *this;
    }
    ZipEntrySpec& WithMTime(std::time_t mtime) {
        MTime = mtime;
        return *this;
    }

    // Stored name; a name ending in "/" makes a folder entry.
    std::string Name;
    std::string Content;
    // Not empty: the entry is encrypted with the traditional PKWARE scheme.
    std::string Password;
    // Stored instead of deflated.
    bool Stored = false;
    // Made on Unix with this st_mode (type and permission bits, e.g. 0100755).
    std::optional<uint32_t> UnixMode;
    // Made on DOS with this attribute byte (0x01 read-only).
    std::optional<uint8_t> DosAttributes;
    std::optional<std::time_t> MTime;
};

// Writes archive (and its folders) with the entries in this order (the
// central directory keeps it).
void WriteZip(const std::filesystem::path& archive, const std::vector<ZipEntrySpec>& entries);

// Zips the content of folder: names relative to folder, every directory as a
// folder entry, files streamed from disk with their Unix mode and
// modification time, deflated at compressionLevel (1..9, 0 the default) and
// encrypted with password when it is not empty.
void ZipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive,
               const std::string& password = {}, int compressionLevel = 0);

// Whether libzip refuses password for entry 0 of archive at its check byte.
// One wrong password in 256 passes that check (the data check catches it
// later), so a test that needs the refusal remakes its fixture until it
// comes.
bool CheckByteRejects(const std::filesystem::path& archive, const std::string& password);

enum class ZipHeaderField { VersionNeeded, Method };

// Sets field of entry index (directory order) in both its central and its
// local header.
void PatchZipHeader(const std::filesystem::path& archive, std::size_t index, ZipHeaderField field,
                    uint16_t value);

// Replaces every occurrence of from with to (of the same length) in the
// file's bytes, e.g. to give two entries the same name or to damage data.
// Returns the number of replacements.
std::size_t ReplaceBytes(const std::filesystem::path& file, const std::string& from,
                         const std::string& to);

}  // namespace kmtest
