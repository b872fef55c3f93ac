#include "common/files/StagedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "common/files/FileSystem.h"

namespace km {
namespace {

constexpr int kNameAttempts = 100;

// A file made without a name gets one by linking its /proc/self/fd entry;
// without /proc it has to be made under a name.
bool CanNameUnnamedFiles() {
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

// A hidden name of fixed length, however long the final name is.
std::string FreshTempName() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, ".~km%016llx", static_cast<unsigned long long>(engine()));
    return name;
}

// Calls use(name) with fresh names while it answers EEXIST; keeps in name
// the one that worked. Returns use's last answer.
template <class Use>
int UseFreshName(std::string& name, Use use) {
    int err = EEXIST;
    for (int attempt = 0; attempt < kNameAttempts && err == EEXIST; ++attempt) {
        name = FreshTempName();
        err = use(name.c_str());
    }
    if (err != 0) {
        name.clear();
    }
    return err;
}

}  // namespace

TStagedFile::~TStagedFile() {
    if (!fTempName.empty()) {
        Fs().UnlinkAt(fFolder, fTempName.c_str(), 0);
    }
}

int TStagedFile::Create(int folder) {
    fFolder = folder;
    if (CanNameUnnamedFiles()) {
        fFd.Reset(Fs().OpenAt(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (fFd.Valid()) {
            return 0;
        }
        // Kernels and file systems without unnamed files.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return errno;
        }
    }
    return UseFreshName(fTempName, [&](const char* name) {
        fFd.Reset(
            Fs().OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        return fFd.Valid() ? 0 : errno;
    });
}

int TStagedFile::Commit(const char* name, bool replaceExisting) {
    if (fTempName.empty()) {
        // Without a name: linking it under name is all there is to do unless
        // an entry is in the way; link() never replaces one.
        const int err = LinkUnder(name);
        if (err != EEXIST || !replaceExisting) {
            return err != 0 ? err : fFd.Reset();
        }
        if (const int tempErr =
                UseFreshName(fTempName, [&](const char* temp) { return LinkUnder(temp); });
            tempErr != 0) {
            return tempErr;
        }
    }
    if (const int err = MoveTo(name, replaceExisting); err != 0) {
        return err;
    }
    fTempName.clear();
    return fFd.Reset();
}

int TStagedFile::LinkUnder(const char* name) const {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fFd.Get());
    return Fs().LinkAt(AT_FDCWD, path, fFolder, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

int TStagedFile::MoveTo(const char* name, bool replaceExisting) const {
    const char* temp = fTempName.c_str();
    if (replaceExisting) {
        return Fs().RenameAt(fFolder, temp, fFolder, name, 0) == 0 ? 0 : errno;
    }
    if (Fs().RenameAt(fFolder, temp, fFolder, name, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system without the flag: a second link fails on an existing
    // entry just the same.
    if (Fs().LinkAt(fFolder, temp, fFolder, name, 0) != 0) {
        return errno;
    }
    Fs().UnlinkAt(fFolder, temp, 0);
    return 0;
}

}  // namespace km
