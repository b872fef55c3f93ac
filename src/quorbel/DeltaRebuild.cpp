#include "quorbel/DeltaRebuild.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/base/SysError.h"
#include "common/crypto/Crypto.h"
#include "common/delta/ZstdPatch.h"
#include "common/files/FileSystem.h"
#include "common/files/UniqueFd.h"
#include "common/zip/ExtractTarget.h"

namespace qb {
namespace {

constexpr size_t kBuffer = 1 << 20;
// No package of this product comes near so many entries.
constexpr size_t kMaxItems = 1000000;
// Room left on the disk beyond what the rebuilt files take.
constexpr uint64_t kFreeSpaceMargin = uint64_t{64} << 10;

class TRebuild {
  public:
    TRebuild(const std::string& type, const km::TDir& base, const km::TDir& delta)
        : fType(type), fBase(base), fDelta(delta), fBuffer(kBuffer) {}

    std::string Open(const km::TDir& work) {
        const int err = fTarget.Open(work.Fd());
        return err == 0 ? std::string() : km::SysErrorMessage(err) + ": " + work.Path();
    }

    std::string Make(const TDeltaItem& item) {
        const std::optional<std::string> path = km::SafeEntryPath(item.Path);
        if (!path || path->empty() || (*path != fType && !path->starts_with(fType + "/"))) {
            return "a path outside the package: " + item.Path;
        }
        if (item.Kind == TDeltaItem::TKind::Folder) {
            return fTarget.Folder(*path) < 0 ? km::SysErrorMessage(errno) + ": " + *path
                                             : std::string();
        }
        if (*path == fType) {
            return "the package's folder named as a file";
        }
        const size_t slash = path->rfind('/');
        const std::string leaf = path->substr(slash + 1);
        const int folder = fTarget.Folder(path->substr(0, slash));
        if (folder < 0) {
            return km::SysErrorMessage(errno) + ": " + *path;
        }
        km::TUniqueFd out(km::TExtractTarget::CreateFile(folder, leaf, item.Mode & 0755));
        if (!out.Valid()) {
            return km::SysErrorMessage(errno) + ": " + *path;
        }
        // The installed file of the same path, below the type's folder.
        const std::string installed = path->substr(fType.size() + 1);
        km::TSha256 sha;
        std::string error = Fill(item, installed, out.Get(), sha);
        if (error.empty() && sha.FinalHex() != item.Sha256) {
            error = "the rebuilt file does not match its digest: " + *path;
        }
        timespec times[2] = {{0, UTIME_OMIT}, {item.MTime, 0}};
        if (error.empty() && (km::Fs().Fchmod(out.Get(), item.Mode & 0755) != 0 ||
                              km::Fs().Futimens(out.Get(), times) != 0)) {
            error = km::SysErrorMessage(errno) + ": " + *path;
        }
        if (const int err = out.Reset(); error.empty() && err != 0) {
            error = km::SysErrorMessage(err) + ": " + *path;
        }
        return error;
    }

  private:
    std::string Fill(const TDeltaItem& item, const std::string& installed, int out,
                     km::TSha256& sha) {
        switch (item.Kind) {
            case TDeltaItem::TKind::Same: {
                const km::TUniqueFd in(OpenInstalled(installed, item.Size));
                if (!in.Valid()) {
                    return fWhy;
                }
                return Copy(in.Get(), out, item.Size, sha, installed);
            }
            case TDeltaItem::TKind::Patch: {
                std::string base;
                if (const std::string error = ReadInstalled(installed, item.BaseSha256, base);
                    !error.empty()) {
                    return error;
                }
                const km::TUniqueFd patch(fDelta.OpenBeneath(item.Entry, O_RDONLY | O_NONBLOCK));
                if (!patch.Valid()) {
                    return "the delta lacks " + item.Entry;
                }
                int64_t made = 0;
                std::string error = km::ApplyZstdPatch(base, patch.Get(), out, item.Size,
                                                       [&](const char* data, size_t size) {
                                                           sha.Update(data, size);
                                                           made += static_cast<int64_t>(size);
                                                       });
                if (error.empty() && made != item.Size) {
                    error = "the patch yields another size";
                }
                return error.empty() ? error : error + ": " + item.Path;
            }
            case TDeltaItem::TKind::Add: {
                const km::TUniqueFd in(fDelta.OpenBeneath(item.Entry, O_RDONLY | O_NONBLOCK));
                if (!in.Valid()) {
                    return "the delta lacks " + item.Entry;
                }
                return Copy(in.Get(), out, item.Size, sha, item.Entry);
            }
            case TDeltaItem::TKind::Folder:
                break;
        }
        return "not a file";
    }

    // The installed file, a regular file reached without links, of the
    // expected size; invalid with fWhy set otherwise.
    int OpenInstalled(const std::string& installed, int64_t size) {
        km::TUniqueFd in(fBase.OpenBeneath(installed, O_RDONLY | O_NONBLOCK));
        struct stat st {};
        if (!in.Valid() || ::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            fWhy = "the installed file is missing: " + fBase.PathOf(installed);
            return -1;
        }
        if (size >= 0 && st.st_size != size) {
            fWhy = "the installed file was changed: " + fBase.PathOf(installed);
            return -1;
        }
        return in.Release();
    }

    // Reads the installed file whole, checked against digest.
    std::string ReadInstalled(const std::string& installed, const std::string& digest,
                              std::string& content) {
        const km::TUniqueFd in(OpenInstalled(installed, -1));
        if (!in.Valid()) {
            return fWhy;
        }
        km::TSha256 sha;
        for (;;) {
            const ssize_t n = km::Fs().Read(in.Get(), fBuffer.data(), fBuffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return km::SysErrorMessage(errno) + ": " + fBase.PathOf(installed);
            }
            if (n == 0) {
                break;
            }
            if (static_cast<int64_t>(content.size()) + n > km::kMaxZstdPatchFile) {
                return "the installed file was changed: " + fBase.PathOf(installed);
            }
            content.append(fBuffer.data(), static_cast<size_t>(n));
            sha.Update(fBuffer.data(), static_cast<size_t>(n));
        }
        if (sha.FinalHex() != digest) {
            return "the installed file was changed: " + fBase.PathOf(installed);
        }
        return {};
    }

    // Copies in to out, at most size bytes (more is an error), hashing them.
    std::string Copy(int in, int out, int64_t size, km::TSha256& sha, const std::string& what) {
        int64_t copied = 0;
        for (;;) {
            const ssize_t n = km::Fs().Read(in, fBuffer.data(), fBuffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return km::SysErrorMessage(errno) + ": " + what;
            }
            if (n == 0) {
                return copied == size ? std::string() : "another size than expected: " + what;
            }
            copied += n;
            if (copied > size) {
                return "another size than expected: " + what;
            }
            sha.Update(fBuffer.data(), static_cast<size_t>(n));
            if (const int err = km::WriteAll(out, fBuffer.data(), static_cast<size_t>(n));
                err != 0) {
                return km::SysErrorMessage(err) + ": " + what;
            }
        }
    }

    const std::string& fType;
    const km::TDir& fBase;
    const km::TDir& fDelta;
    km::TExtractTarget fTarget;
    std::vector<char> fBuffer;
    std::string fWhy;
};

}  // namespace

std::string RebuildFromDelta(const TDeltaManifest& manifest, const std::string& type,
                             const km::TDir& base, const km::TDir& delta, const km::TDir& work,
                             int64_t maxFileBytes, const std::function<bool()>& shouldStop) {
    if (manifest.Type != type) {
        return "a delta of another type: " + manifest.Type;
    }
    // What the manifest promises must fit before anything is written, as a
    // full package's declared sizes must: a patch that yields more is
    // refused as it is applied.
    if (manifest.Items.size() > kMaxItems) {
        return "the manifest lists more than " + std::to_string(kMaxItems) + " entries";
    }
    uint64_t needed = kFreeSpaceMargin;
    for (const TDeltaItem& item : manifest.Items) {
        if (maxFileBytes > 0 && item.Size > maxFileBytes) {
            return "a file larger than a package may be: " + item.Path;
        }
        needed += (static_cast<uint64_t>(item.Size) + 4095) / 4096 * 4096 + 4096;
    }
    struct statvfs space {};
    if (::fstatvfs(work.Fd(), &space) == 0 &&
        needed / std::max<uint64_t>(space.f_frsize, 1) > space.f_bavail) {
        return km::SysErrorMessage(ENOSPC) + ": " + work.Path();
    }
    TRebuild rebuild(type, base, delta);
    if (std::string error = rebuild.Open(work); !error.empty()) {
        return error;
    }
    for (const TDeltaItem& item : manifest.Items) {
        if (shouldStop && shouldStop()) {
            return "stopped";
        }
        if (std::string error = rebuild.Make(item); !error.empty()) {
            return error;
        }
    }
    return {};
}

}  // namespace qb
