#include "common/zip/KmZipper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <vector>

#include "common/base/SysError.h"
#include "common/base/Translate.h"
#include "common/files/Dir.h"
#include "common/files/FileOps.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"
#include "common/zip/ExtractTarget.h"
#include "common/zip/ZipDirectoryReader.h"
#include "common/zip/ZipFdSource.h"
#include "common/zip/ZipSupport.h"

namespace km {
namespace {

// The extraction's own texts; a message that begins with one carries it as
// its fixed text.
constexpr const char* kFixedTexts[] = {
    TrNoop("Unable to create directory"),
    TrNoop("Directory does not exist"),
    TrNoop("Unhandled Archive Type"),
    TrNoop("Cannot extract file - newer version required"),
    TrNoop("Cannot extract file - unsupported compression method"),
    TrNoop("Cannot extract file - invalid password"),
    TrNoop("Failed CRC Check"),
    TrNoop("Cannot extract file - not enough free space"),
    TrNoop("Cannot extract file - unsafe path"),
};

// Large enough that a file of ordinary size is written with one call; small
// enough to keep the process's memory flat whatever the archive holds.
constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
constexpr uint16_t kFirstUnsupportedVersion = 64;  // 6.4
constexpr zip_uint32_t kDosReadOnly = 0x01;
constexpr uint64_t kFreeSpaceMargin = uint64_t{64} << 10;

[[noreturn]] void ThrowSysError(int err, const std::string& path) {
    throw EZipError(SysErrorMessage(err) + ": " + path);
}

// The methods an archive may use: stored, the old PKWARE methods, deflate,
// Deflate64, bzip2, LZMA, WavPack and PPMd. libzip itself refuses those it
// cannot decode.
bool IsAcceptedMethod(uint16_t method) {
    return method <= 6 || method == 8 || method == 9 || method == 12 || method == 14 ||
           method == 97 || method == 98;
}

bool IsFolderName(const char* name) {
    const std::string_view view(name);
    return !view.empty() && (view.back() == '/' || view.back() == '\\');
}

// The permission bits a file gets, and whether they are to be set exactly
// (Unix permissions) or only as a request subject to the umask.
struct TFileMode {
    mode_t Mode = 0666;
    bool Exact = false;
};

TFileMode EntryMode(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0) {
        return {};
    }
    const auto unixMode = static_cast<mode_t>(attributes >> 16);
    if (opsys == ZIP_OPSYS_UNIX && unixMode != 0) {
        // A link is written as a file holding its text, with the default mode.
        // Group and other never get write access, as under the usual umask:
        // an entry zipped under umask 000 or taken from a FAT file system
        // would otherwise make installed programs writable by every user.
        return S_ISLNK(unixMode) ? TFileMode{} : TFileMode{unixMode & 0755, true};
    }
    return (attributes & kDosReadOnly) != 0 ? TFileMode{0444, false} : TFileMode{};
}

// Refuses an archive whose declared content does not fit on the target's
// file system before anything is written, so that a package too large for
// the disk neither fills it nor, kept for the next run, fills it again.
void CheckFreeSpace(zip_t* archive, const TDir& target) {
    struct statvfs fsInfo {};
    if (::fstatvfs(target.Fd(), &fsInfo) != 0) {
        return;  // the extraction itself reports a target it cannot use
    }
    const uint64_t block = fsInfo.f_frsize != 0 ? fsInfo.f_frsize : 4096;
    // Every file takes whole blocks; a margin keeps the disk usable.
    uint64_t needed = kFreeSpaceMargin;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) == 0 &&
            (stat.valid & ZIP_STAT_SIZE) != 0) {
            needed += (stat.size + block - 1) / block * block + block;
        }
    }
    const uint64_t available = static_cast<uint64_t>(fsInfo.f_bavail) * block;
    if (needed > available) {
        throw EZipError("Cannot extract file - not enough free space (" +
                        std::to_string(needed / 1024) + " KiB needed, " +
                        std::to_string(available / 1024) + " KiB free): " + target.Path());
    }
}

class TExtraction {
  public:
    // Holds the target directory; throws when it cannot be used.
    explicit TExtraction(const TDir& target) : fTargetPrefix(target.Path()) {
        if (const int err = fTarget.Open(target.Fd()); err != 0) {
            ThrowSysError(err, target.Path());
        }
    }

    // Extracts every entry of archive in directory order; directory reads
    // the same archive's central directory.
    void Run(zip_t* archive, TZipDirectoryReader& directory) {
        fArchive = archive;
        const zip_int64_t count = zip_get_num_entries(archive, 0);
        if (directory.EntryCount() != static_cast<uint64_t>(count)) {
            throw EZipError("Unhandled Archive Type");
        }
        for (zip_int64_t i = 0; i < count; ++i) {
            TZipCentralHeader header;
            if (!directory.Next(header)) {
                throw EZipError("Unhandled Archive Type");
            }
            Entry(static_cast<zip_uint64_t>(i), header);
        }
    }

  private:
    void Entry(zip_uint64_t index, const TZipCentralHeader& header) {
        const char* name = zip_get_name(fArchive, index, 0);
        if (name == nullptr) {
            throw EZipError(ZipErrorMessage(zip_get_error(fArchive)));
        }
        const bool isFolder = IsFolderName(name);
        const std::optional<std::string> path = SafeEntryPath(name);
        if (!path || (path->empty() && !isFolder)) {
            throw EZipError(std::string("Cannot extract file - unsafe path: ") + name);
        }
        if ((header.VersionNeeded & 0xFF) >= kFirstUnsupportedVersion) {
            throw EZipError("Cannot extract file - newer version required");
        }
        if (isFolder) {
            if (fTarget.Folder(*path) < 0) {
                ThrowSysError(errno, fTargetPrefix + *path);
            }
            return;
        }
        if (!IsAcceptedMethod(header.Method)) {
            throw EZipError("Cannot extract file - unsupported compression method");
        }
        File(index, *path);
    }

    void File(zip_uint64_t index, const std::string& path) {
        // Password and method problems show when the entry is opened, before
        // anything is created.
        TZipFilePtr data(zip_fopen_index(fArchive, index, 0));
        if (!data) {
            throw EZipError(ZipErrorMessage(zip_get_error(fArchive)));
        }
        zip_stat_t stat;
        zip_stat_init(&stat);
        zip_stat_index(fArchive, index, 0, &stat);
        const TFileMode mode = EntryMode(fArchive, index);

        const std::size_t slash = path.rfind('/');
        const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        const int folder = fTarget.Folder(slash == std::string::npos ? "" : path.substr(0, slash));
        if (folder < 0) {
            ThrowSysError(errno, fTargetPrefix + path);
        }
        TUniqueFd out(TExtractTarget::CreateFile(folder, leaf, mode.Mode));
        if (!out.Valid()) {
            ThrowSysError(errno, fTargetPrefix + path);
        }
        // From here on a failure leaves no partly written file behind.
        auto fail = [&](const std::string& message) {
            out.Reset();
            Fs().UnlinkAt(folder, leaf.c_str(), 0);
            throw EZipError(message);
        };
        const uint64_t declared =
            (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : std::numeric_limits<uint64_t>::max();
        Copy(data.get(), out.Get(), declared, fail, path);
        if (const int err = zip_fclose(data.release()); err != 0) {
            fail(ZipErrorMessage(err));
        }
        timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if ((stat.valid & ZIP_STAT_MTIME) != 0) {
            times[1].tv_sec = stat.mtime;
            times[1].tv_nsec = 0;
        }
        if ((mode.Exact && Fs().Fchmod(out.Get(), mode.Mode) != 0) ||
            Fs().Futimens(out.Get(), times) != 0) {
            fail(SysErrorMessage(errno) + ": " + fTargetPrefix + path);
        }
        if (const int err = out.Reset(); err != 0) {
            fail(SysErrorMessage(err) + ": " + fTargetPrefix + path);
        }
    }

    template <typename Fail>
    void Copy(zip_file_t* data, int out, uint64_t declared, const Fail& fail,
              const std::string& path) {
        if (fBuffer.empty()) {
            fBuffer.resize(kWriteBuffer);
        }
        // The free-space check counted the declared sizes; an entry that
        // yields more is damaged and would fill the disk past that check.
        uint64_t written = 0;
        for (;;) {
            const zip_int64_t n = zip_fread(data, fBuffer.data(), fBuffer.size());
            if (n < 0) {
                fail(ZipErrorMessage(zip_file_get_error(data)));
            }
            if (n == 0) {
                return;
            }
            written += static_cast<uint64_t>(n);
            if (written > declared) {
                fail("Failed CRC Check");
            }
            if (const int err = WriteAll(out, fBuffer.data(), static_cast<std::size_t>(n));
                err != 0) {
                fail(SysErrorMessage(err) + ": " + fTargetPrefix + path);
            }
        }
    }

    zip_t* fArchive = nullptr;
    std::string fTargetPrefix;
    TExtractTarget fTarget;
    std::vector<char> fBuffer;
};

}  // namespace

EZipError::EZipError(std::string message) : Exception(std::move(message)) {
    for (const char* fixed : kFixedTexts) {
        if (Message().starts_with(fixed)) {
            fFixedText = fixed;
            break;
        }
    }
}

void ExtractZipArchive(int archiveFd, const TDir& target, const std::string& password) {
    struct stat st {};
    if (::fstat(archiveFd, &st) != 0) {
        throw EZipError(SysErrorMessage(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EZipError(SysErrorMessage(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    }
    if (!target.Valid()) {
        throw EZipError("Directory does not exist");
    }
    TExtraction extraction(target);
    if (st.st_size == 0) {
        return;  // an archive without entries
    }
    // libzip reads the file the caller opened, not whatever its name leads
    // to by now, so that the directory checked below and the entries
    // extracted come from one file.
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = CreateZipFdSource(archiveFd, &error);
    zip_t* opened = source != nullptr ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (opened == nullptr) {
        if (source != nullptr) {
            zip_source_free(source);
        }
        std::string message = ZipErrorMessage(&error);
        zip_error_fini(&error);
        throw EZipError(message);
    }
    zip_error_fini(&error);
    const TZipPtr archive(opened);
    if (!password.empty()) {
        zip_set_default_password(archive.get(), password.c_str());
    }
    // The version needed to extract is not available through libzip.
    TZipDirectoryReader directory;
    if (!directory.Open(archiveFd)) {
        throw EZipError("Unhandled Archive Type");
    }
    CheckFreeSpace(archive.get(), target);
    extraction.Run(archive.get(), directory);
}

void ExtractZipArchive(const std::string& archiveFile, const std::string& targetDir,
                       const std::string& password) {
    if (targetDir.empty()) {
        throw EZipError("Unable to create directory");
    }
    ForceDirectories(targetDir);
    const TUniqueFd file(::open(archiveFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) {
        ThrowSysError(errno, archiveFile);
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0) {
        ThrowSysError(errno, archiveFile);
    }
    if (S_ISDIR(st.st_mode)) {
        ThrowSysError(EISDIR, archiveFile);
    }
    const TDir target = TDir::Open(targetDir);
    if (!target.Valid()) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw EZipError("Directory does not exist");
        }
        ThrowSysError(errno, targetDir);
    }
    ExtractZipArchive(file.Get(), target, password);
}

}  // namespace km
