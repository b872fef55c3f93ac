#include "PackageWriter.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "PublishError.h"
#include "common/zip/ZipSupport.h"
#include "quorbel/ArchivePassword.h"

namespace qbpublish {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void ZipFailed(zip_t* archive, const std::string& what) {
    throw EPublishError(what + ": " + km::ZipErrorMessage(zip_get_error(archive)));
}

// Stores one entry's permissions and time; the updater restores both.
void SetEntryAttributes(zip_t* archive, zip_int64_t index, const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw EPublishError("Cannot read " + path.string());
    }
    const zip_uint32_t attributes = static_cast<zip_uint32_t>(info.st_mode & 0177777) << 16;
    if (zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                         ZIP_OPSYS_UNIX, attributes) != 0 ||
        zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), info.st_mtime, 0) != 0) {
        ZipFailed(archive, "Cannot store the attributes of " + path.string());
    }
}

void AddTree(zip_t* archive, const fs::path& root, const std::string& type,
             const std::string& password) {
    std::vector<fs::path> entries;
    for (auto it = fs::recursive_directory_iterator(root / type);
         it != fs::recursive_directory_iterator(); ++it) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());  // the same input gives the same package
    const zip_int64_t top = zip_dir_add(archive, type.c_str(), ZIP_FL_ENC_UTF_8);
    if (top < 0) {
        ZipFailed(archive, "Cannot add the folder " + type);
    }
    SetEntryAttributes(archive, top, root / type);
    for (const fs::path& path : entries) {
        const std::string name = fs::relative(path, root).generic_string();
        const fs::file_status status = fs::symlink_status(path);
        zip_int64_t index = -1;
        if (fs::is_symlink(status)) {
            throw EPublishError("Symbolic links cannot be published: " + path.string());
        } else if (fs::is_directory(status)) {
            index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
        } else if (fs::is_regular_file(status)) {
            zip_source_t* source = zip_source_file(archive, path.c_str(), 0, -1);
            if (source == nullptr) {
                ZipFailed(archive, "Cannot read " + path.string());
            }
            index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            } else if (!password.empty() &&
                       zip_file_set_encryption(archive, static_cast<zip_uint64_t>(index),
                                               ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) {
                ZipFailed(archive, "Cannot encrypt " + name);
            }
        } else {
            throw EPublishError("Only files and folders can be published: " + path.string());
        }
        if (index < 0) {
            ZipFailed(archive, "Cannot add " + name);
        }
        SetEntryAttributes(archive, index, path);
    }
}

}  // namespace

// The password as the program uses it: in the vendor's code page, so that a
// package made here and one made on the vendor's Windows machines agree.
std::string PasswordBytes(const std::string& password) {
    try {
        return qb::ArchivePasswordBytes(password);
    } catch (const std::exception& e) {
        throw EPublishError(e.what());
    }
}

void WritePackage(const fs::path& root, const std::string& type, const std::string& password,
                  const fs::path& zipFile) {
    if (fs::is_empty(root / type)) {
        throw EPublishError("The folder " + (root / type).string() + " is empty");
    }
    std::error_code ec;
    fs::remove(zipFile, ec);
    int error = 0;
    km::TZipPtr archive(zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
    if (!archive) {
        throw EPublishError("Cannot create " + zipFile.string() + ": " +
                            km::ZipErrorMessage(error));
    }
    AddTree(archive.get(), root, type, password);
    if (zip_close(archive.get()) != 0) {
        ZipFailed(archive.get(), "Cannot write " + zipFile.string());
    }
    archive.release();  // zip_close freed it
}

}  // namespace qbpublish
