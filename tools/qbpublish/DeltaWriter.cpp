#include "DeltaWriter.h"

#include <sys/stat.h>

#include <deque>
#include <set>

#include "PublishError.h"
#include "common/crypto/Crypto.h"
#include "common/delta/ZstdPatch.h"
#include "common/files/FileOps.h"
#include "common/zip/ZipSupport.h"
#include "quorbel/DeltaManifest.h"

namespace qbpublish {
namespace fs = std::filesystem;
namespace {

std::string Sha256Of(const std::string& bytes) {
    km::TSha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.FinalHex();
}

std::string ReadFile(const fs::path& file) {
    const std::optional<std::string> content = km::ReadWholeFile(file.string());
    if (!content) {
        throw EPublishError("Cannot read " + file.string());
    }
    return *content;
}

// The permission bits unpacking gives an entry of the full package.
unsigned EntryMode(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) == 0 &&
        opsys == ZIP_OPSYS_UNIX && (attributes >> 16) != 0) {
        return (attributes >> 16) & 0755;
    }
    return 0644;
}

// The delta package being written: the manifest and the entries it names.
class TDeltaZip {
  public:
    TDeltaZip(const fs::path& file, const std::string& password)
        : fFile(file), fPassword(password) {
        std::error_code ec;
        fs::remove(file, ec);
        int error = 0;
        fArchive.reset(zip_open(file.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
        if (!fArchive) {
            throw EPublishError("Cannot create " + file.string() + ": " +
                                km::ZipErrorMessage(error));
        }
    }
    ~TDeltaZip() {
        if (fArchive) {
            std::error_code ec;
            fs::remove(fFile, ec);
        }
    }

    // A new entry name with prefix ("p/1", "a/2", ...).
    std::string NextName(const std::string& prefix) { return prefix + std::to_string(++fCount); }

    // Adds bytes (kept until Close) as the entry name.
    void AddBytes(const std::string& name, std::string bytes, bool compress) {
        fKept.push_back(std::move(bytes));
        Add(name, zip_source_buffer(fArchive.get(), fKept.back().data(), fKept.back().size(), 0),
            compress);
    }

    // Adds the file (read when the package is written) as the entry name.
    void AddFile(const std::string& name, const fs::path& file) {
        Add(name, zip_source_file(fArchive.get(), file.c_str(), 0, -1), true);
    }

    void Close() {
        if (zip_close(fArchive.get()) != 0) {
            Failed("Cannot write " + fFile.string());
        }
        fArchive.release();  // zip_close freed it
    }

  private:
    void Add(const std::string& name, zip_source_t* source, bool compress) {
        const zip_int64_t index =
            source == nullptr ? -1 : zip_file_add(fArchive.get(), name.c_str(), source, 0);
        if (index < 0) {
            zip_source_free(source);
            Failed("Cannot add " + name);
        }
        const auto at = static_cast<zip_uint64_t>(index);
        if ((!compress && zip_set_file_compression(fArchive.get(), at, ZIP_CM_STORE, 0) != 0) ||
            (!fPassword.empty() && zip_file_set_encryption(fArchive.get(), at, ZIP_EM_TRAD_PKWARE,
                                                           fPassword.c_str()) != 0)) {
            Failed("Cannot store " + name);
        }
    }

    [[noreturn]] void Failed(const std::string& what) {
        throw EPublishError(what + ": " + km::ZipErrorMessage(zip_get_error(fArchive.get())));
    }

    fs::path fFile;
    std::string fPassword;
    km::TZipPtr fArchive;
    std::deque<std::string> fKept;
    int fCount = 0;
};

}  // namespace

bool WriteDelta(const fs::path& sourceRoot, const fs::path& baseRoot, const std::string& type,
                const std::string& baseDate, const std::string& passwordBytes,
                const fs::path& fullZip, const fs::path& deltaFile, std::string& why) {
    int error = 0;
    const km::TZipPtr full(zip_open(fullZip.c_str(), ZIP_RDONLY, &error));
    if (!full) {
        throw EPublishError("Cannot read " + fullZip.string() + ": " + km::ZipErrorMessage(error));
    }
    qb::TDeltaManifest manifest;
    manifest.Type = type;
    manifest.Base = baseDate;
    TDeltaZip delta(deltaFile, passwordBytes);
    std::set<std::string> present;
    const zip_int64_t count = zip_get_num_entries(full.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(full.get(), index, 0, &stat) != 0 || stat.name == nullptr) {
            throw EPublishError("Cannot read " + fullZip.string());
        }
        std::string name = stat.name;
        if (name.find_first_of("\t\n\r") != std::string::npos) {
            why = "a name the manifest cannot list: " + name;
            return false;
        }
        qb::TDeltaItem item;
        if (name.ends_with("/")) {
            name.pop_back();
            item.Path = name;
            manifest.Items.push_back(item);
            continue;
        }
        present.insert(name);
        item.Path = name;
        item.Mode = EntryMode(full.get(), index);
        item.MTime = (stat.valid & ZIP_STAT_MTIME) != 0 ? stat.mtime : 0;
        std::string content = ReadFile(sourceRoot / name);
        item.Size = static_cast<int64_t>(content.size());
        item.Sha256 = Sha256Of(content);
        const fs::path basePath = baseRoot / name;
        std::error_code ec;
        const bool haveBase = fs::is_regular_file(fs::symlink_status(basePath, ec));
        if (haveBase) {
            const std::string base = ReadFile(basePath);
            const std::string baseSha = Sha256Of(base);
            if (baseSha == item.Sha256) {
                item.Kind = qb::TDeltaItem::TKind::Same;
                manifest.Items.push_back(item);
                continue;
            }
            if (static_cast<int64_t>(base.size()) <= km::kMaxZstdPatchFile &&
                item.Size <= km::kMaxZstdPatchFile) {
                std::string patch = km::MakeZstdPatch(base, content);
                if (patch.size() < content.size()) {
                    item.Kind = qb::TDeltaItem::TKind::Patch;
                    item.BaseSha256 = baseSha;
                    item.Entry = delta.NextName("p/");
                    delta.AddBytes(item.Entry, std::move(patch), false);
                    manifest.Items.push_back(item);
                    continue;
                }
            }
        }
        item.Kind = qb::TDeltaItem::TKind::Add;
        item.Entry = delta.NextName("a/");
        delta.AddFile(item.Entry, sourceRoot / name);
        manifest.Items.push_back(item);
    }
    // What the earlier release had and this one no longer has.
    const fs::path baseType = baseRoot / type;
    for (auto it = fs::recursive_directory_iterator(baseType);
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file() && !it->is_symlink()) {
            const std::string name = fs::relative(it->path(), baseRoot).generic_string();
            if (!present.contains(name) && name.find_first_of("\t\n\r") == std::string::npos) {
                manifest.Removed.push_back(name);
            }
        }
    }
    delta.AddBytes(qb::kDeltaManifestName, qb::WriteDeltaManifest(manifest), true);
    delta.Close();
    const uintmax_t fullSize = fs::file_size(fullZip);
    const uintmax_t deltaSize = fs::file_size(deltaFile);
    if (deltaSize > fullSize / 2) {
        fs::remove(deltaFile);
        why = "the delta (" + std::to_string(deltaSize) + " bytes) is larger than half the package";
        return false;
    }
    return true;
}

}  // namespace qbpublish
