#include "quorbel/CopyInTransaction.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/DirTree.h"
#include "common/files/FileOps.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"

namespace qb {
namespace {

constexpr const char* kJournalName = "~qbcopyin.journal";
constexpr const char* kDoneName = "~qbcopyin.journal.done";
constexpr const char* kBackupName = ".~qbbackup";
constexpr const char* kRefusedSuffix = ".refused";

// Paths may hold any byte but "/" and NUL; line breaks are escaped so that
// one journal line is one step.
std::string Escape(const std::string& path) {
    std::string out;
    for (const char c : path) {
        if (c == '%') {
            out += "%25";
        } else if (c == '\n') {
            out += "%0A";
        } else if (c == '\r') {
            out += "%0D";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto hex = [&](size_t at) {
            const char c = at < text.size() ? text[at] : 0;
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                          : -1;
        };
        if (text[i] == '%' && hex(i + 1) >= 0 && hex(i + 2) >= 0) {
            out += static_cast<char>(hex(i + 1) * 16 + hex(i + 2));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Step {
    char kind;  // 'D', 'A' or 'R'
    std::string path;
};

struct Journal {
    std::string target;
    std::string backup;
    std::vector<Step> steps;
};

std::string ParentOf(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string LeafOf(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool Exists(const km::TDir& dir, const std::string& name) {
    struct stat st {};
    return dir.StatAt(name, st) == 0;
}

// Root's journal, seen by another user.
bool IsForeignJournal(const km::TDir& dir, const char* name) {
    struct stat st {};
    return dir.StatAt(name, st) == 0 && st.st_uid == 0 && ::geteuid() != 0;
}

// Missing: no journal. NotOurs: root's journal seen by another user, or one
// a live copy holds: left exactly as it is, for its owner's next run.
enum class TJournalRead { Missing, Usable, Refused, NotOurs };

// The whole content of a journal file that may be trusted; Refused with the
// reason for any other entry of that name.
TJournalRead ReadTrustedFile(const km::TDir& dir, const char* name, std::string& content,
                             std::string& why) {
    const km::TUniqueFd fd(
        km::Fs().OpenAt(dir.Fd(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!fd.Valid()) {
        const int error = errno;
        if (error == ENOENT) {
            return TJournalRead::Missing;
        }
        if (IsForeignJournal(dir, name)) {
            return TJournalRead::NotOurs;  // root's, which this user may not even read
        }
        why = error == ELOOP ? "it is a link" : "it cannot be opened";
        return TJournalRead::Refused;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        return TJournalRead::Refused;
    }
    if (st.st_uid == 0 && ::geteuid() != 0) {
        return TJournalRead::NotOurs;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 0022) != 0) {
        why = "another user may have written it";
        return TJournalRead::Refused;
    }
    // A copy that is still running holds its journal.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return TJournalRead::NotOurs;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = km::Fs().Read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            why = "it cannot be read";
            return TJournalRead::Refused;
        }
        if (n == 0) {
            return TJournalRead::Usable;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

// A step always names something below the target; anything else is not a
// line we wrote.
bool IsBelowTarget(const std::string& value) {
    if (value.empty() || value.front() == '/') {
        return false;
    }
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find('/', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string part = value.substr(start, end - start);
        if (part == ".." || part == "." || part.empty()) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// Fills journal from a journal's text. False when it names no target; why
// says so when it names one that must not be touched.
bool ParseJournal(const std::string& content, const TCopyInTargetFilter& mayWrite, Journal& journal,
                  std::string& why) {
    bool stepsValid = true;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line cut short by the kill
        }
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.size() < 2 || line[1] != ' ') {
            continue;
        }
        const std::string value = Unescape(line.substr(2));
        switch (line[0]) {
            case 'T':
                journal.target = value;
                break;
            case 'B':
                journal.backup = value;
                break;
            case 'D':
            case 'A':
            case 'R':
                if (IsBelowTarget(value)) {
                    journal.steps.push_back({line[0], value});
                } else {
                    stepsValid = false;
                }
                break;
            default:
                break;
        }
    }
    if (journal.target.empty() || journal.backup.empty()) {
        return false;
    }
    const std::string target = km::RemovePathDelimiter(journal.target);
    if (!mayWrite || !mayWrite(target)) {
        why = "its target " + target + " is not a folder the update writes";
    } else if (journal.backup != target + "/" + kBackupName) {
        why = "its backup folder is not the target's own";
    } else if (!stepsValid) {
        why = "a step names a path outside its target";
    }
    journal.target = target;
    return true;
}

// Renames a journal that must not be acted on out of the way, so that it
// neither blocks later runs nor gets acted on by one.
void SetAside(const km::TDir& dir, const std::string& name, const std::string& why) {
    km::DebugWarning("copy-in journal " + dir.PathOf(name) + " set aside: " + why, "RecoverCopyIn");
    if (km::Fs().RenameAt(dir.Fd(), name.c_str(), dir.Fd(), (name + kRefusedSuffix).c_str(), 0) !=
        0) {
        km::Fs().UnlinkAt(dir.Fd(), name.c_str(), 0);
    }
}

// The journal name in dir, when there is one that may be acted on.
bool ReadJournal(const km::TDir& dir, const std::string& name, const TCopyInTargetFilter& mayWrite,
                 Journal& journal) {
    std::string content;
    std::string why;
    switch (ReadTrustedFile(dir, name.c_str(), content, why)) {
        case TJournalRead::Missing:
        case TJournalRead::NotOurs:
            return false;
        case TJournalRead::Refused:
            SetAside(dir, name, why);
            return false;
        case TJournalRead::Usable:
            break;
    }
    if (!ParseJournal(content, mayWrite, journal, why)) {
        // Killed before it named its target: nothing happened.
        km::Fs().UnlinkAt(dir.Fd(), name.c_str(), 0);
        return false;
    }
    if (!why.empty()) {
        SetAside(dir, name, why);
        return false;
    }
    return true;
}

// Undoes the steps in reverse order, each reached from the target's handle
// without links; the backup goes last.
void RollBack(const km::TDir& target, const std::vector<Step>& steps) {
    const km::TDir backup = target.Sub(kBackupName);
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        const km::TDir parent = target.Sub(ParentOf(step->path));
        if (!parent.Valid()) {
            continue;  // its folder never came, or went with a later step
        }
        const std::string leaf = LeafOf(step->path);
        if (step->kind == 'R' || step->kind == 'A') {
            // Older runs copied in under this name from another file system.
            km::Fs().UnlinkAt(parent.Fd(), LeafOf(km::CopyPartName(leaf)).c_str(), 0);
        }
        switch (step->kind) {
            case 'R': {
                // Without a backup the old file never left its place.
                const km::TDir saved =
                    backup.Valid() ? backup.Sub(ParentOf(step->path)) : km::TDir();
                if (saved.Valid() && Exists(saved, leaf)) {
                    km::Fs().RenameAt(saved.Fd(), leaf.c_str(), parent.Fd(), leaf.c_str(), 0);
                }
                break;
            }
            case 'A':
                km::Fs().UnlinkAt(parent.Fd(), leaf.c_str(), 0);
                break;
            case 'D':
                // Empty by now; a folder with foreign content stays.
                km::Fs().UnlinkAt(parent.Fd(), leaf.c_str(), AT_REMOVEDIR);
                break;
            default:
                break;
        }
    }
    km::DeleteEntryAt(target.Fd(), kBackupName);
}

// The folder relative below base, made where missing (mode 0700), never
// through a link.
km::TDir MakeFolders(const km::TDir& base, const std::string& relative) {
    km::TDir current = base.Dup();
    size_t start = 0;
    while (current.Valid() && start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) {
            end = relative.size();
        }
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        km::TDir next = current.Sub(part);
        if (!next.Valid() && errno == ENOENT &&
            (km::Fs().MkdirAt(current.Fd(), part.c_str(), 0700) == 0 || errno == EEXIST)) {
            next = current.Sub(part);
        }
        current = std::move(next);
    }
    return current;
}

class TCopyIn {
  public:
    TCopyIn(const km::TDir& source, const km::TDir& target, const km::TDir& journalDir)
        : fSource(source), fTarget(target), fJournalDir(journalDir) {}

    bool Run() {
        if (!fTarget.Valid() || !fSource.Valid()) {
            return Fail("The target folder does not exist: " + fTarget.Path());
        }
        if (Exists(fSource, kBackupName) || Exists(fSource, kJournalName)) {
            return Fail("The package holds a name the update itself uses: " + fSource.Path());
        }
        // Another user's interrupted copy (root's, seen by a user) waits for
        // its owner: its journal and backup must stay as they are.
        if (fJournalDir.Valid() && IsForeignJournal(fJournalDir, kJournalName)) {
            return Fail("An interrupted update of another user waits to be recovered: " +
                        fJournalDir.PathOf(kJournalName));
        }
        // Recovery has run before: a backup folder still here is a leftover
        // that no journal refers to any more.
        if (Exists(fTarget, kBackupName)) {
            km::DeleteEntryAt(fTarget.Fd(), kBackupName);
        }
        if (!StartJournal()) {
            Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
            if (fOut.Valid()) {
                fOut.Reset();
                km::Fs().UnlinkAt(fJournalDir.Fd(), kJournalName, 0);
            }
            return false;
        }
        bool ok = CopyFolder(fSource, fTarget, std::string());
        if (ok) {
            ok = Commit();
        }
        if (!ok) {
            fOut.Reset();
            RollBack(fTarget, fSteps);
            if (fJournalDir.Valid()) {
                km::Fs().UnlinkAt(fJournalDir.Fd(), kJournalName, 0);
            }
        }
        return ok;
    }

    const std::string& Error() const { return fError; }

  private:
    bool StartJournal() {
        if (!fJournalDir.Valid()) {
            return true;
        }
        // Whatever stands at the name (recovery has dealt with our own
        // journals) goes; the new journal never writes through it.
        km::Fs().UnlinkAt(fJournalDir.Fd(), kJournalName, 0);
        fOut.Reset(km::Fs().OpenAt(fJournalDir.Fd(), kJournalName,
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        // Held while the copy runs, so that a recovery running meanwhile
        // (a run without the update lock) leaves it alone.
        if (fOut.Valid() && ::flock(fOut.Get(), LOCK_EX | LOCK_NB) != 0) {
            return false;
        }
        const std::string target = km::RemovePathDelimiter(fTarget.Path());
        return fOut.Valid() &&
               Write("T " + Escape(target) + "\nB " + Escape(target + "/" + kBackupName) + "\n");
    }

    bool Write(const std::string& text) {
        const int err = km::WriteAll(fOut.Get(), text.data(), text.size());
        errno = err;
        return err == 0;
    }

    // Written before the step is taken, so a killed process never leaves a
    // step that the journal does not know.
    bool Record(char kind, const std::string& relative) {
        fSteps.push_back({kind, relative});
        if (!fJournalDir.Valid()) {
            return true;
        }
        return Write(std::string(1, kind) + ' ' + Escape(relative) + '\n');
    }

    static std::string Join(const std::string& relative, const std::string& name) {
        return relative.empty() ? name : relative + "/" + name;
    }

    bool CopyFolder(const km::TDir& source, const km::TDir& target, const std::string& relative) {
        std::vector<std::string> names;
        if (!km::ListNames(source.Fd(), names)) {
            return Fail(SystemError() + ": " + fSource.PathOf(relative));
        }
        for (const std::string& name : names) {
            struct stat st {};
            if (const int err = source.StatAt(name, st); err != 0) {
                return Fail(km::SysErrorMessage(err) + ": " + fSource.PathOf(Join(relative, name)));
            }
            const bool ok =
                S_ISDIR(st.st_mode) ? EnterFolder(source, target, relative, name, st)
                : S_ISREG(st.st_mode)
                    ? PlaceFile(source, target, relative, name, st)
                    : Fail("Not a file or folder: " + fSource.PathOf(Join(relative, name)));
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    bool EnterFolder(const km::TDir& source, const km::TDir& target, const std::string& relative,
                     const std::string& name, const struct stat& sourceStat) {
        const std::string path = Join(relative, name);
        struct stat st {};
        const int err = target.StatAt(name, st);
        if (err == 0 && !S_ISDIR(st.st_mode)) {
            // Writing through a link could reach outside the product.
            return Fail("A file or link stands where the package has a folder: " +
                        fTarget.PathOf(path));
        }
        if (err != 0) {
            if (!Record('D', path)) {
                return Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
            }
            if (km::Fs().MkdirAt(target.Fd(), name.c_str(), 0700) != 0) {
                return Fail(SystemError() + ": " + fTarget.PathOf(path));
            }
        }
        const km::TDir from = source.Sub(name);
        const km::TDir to = target.Sub(name);
        if (!from.Valid() || !to.Valid()) {
            return Fail(SystemError() + ": " + fTarget.PathOf(path));
        }
        // Like the package's files, its folders never let others write.
        if (err != 0 && km::Fs().Fchmod(to.Fd(), sourceStat.st_mode & 07755) != 0) {
            return Fail(SystemError() + ": " + fTarget.PathOf(path));
        }
        return CopyFolder(from, to, path);
    }

    bool PlaceFile(const km::TDir& source, const km::TDir& target, const std::string& relative,
                   const std::string& name, const struct stat& sourceStat) {
        const std::string path = Join(relative, name);
        struct stat st {};
        if (target.StatAt(name, st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                return Fail("A folder stands where the package has a file: " +
                            fTarget.PathOf(path));
            }
            if (!Record('R', path)) {
                return Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
            }
            const km::TDir saved = MakeFolders(fTarget, Join(kBackupName, relative));
            if (!saved.Valid() ||
                km::Fs().RenameAt(target.Fd(), name.c_str(), saved.Fd(), name.c_str(), 0) != 0) {
                return Fail(SystemError() + ": " + fTarget.PathOf(path));
            }
        } else if (!Record('A', path)) {
            return Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
        }
        if (km::Fs().RenameAt(source.Fd(), name.c_str(), target.Fd(), name.c_str(),
                              RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EXDEV && errno != EINVAL) {
            return Fail(SystemError() + ": " + fTarget.PathOf(path));
        }
        // Another file system (or one without the flag): a copy, put in place
        // in one step.
        const km::TUniqueFd in(
            km::Fs().OpenAt(source.Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (!in.Valid()) {
            return Fail(SystemError() + ": " + fSource.PathOf(path));
        }
        if (const int copyErr =
                km::CopyFileAt(in.Get(), target.Fd(), name.c_str(), sourceStat.st_mode, false);
            copyErr != 0) {
            return Fail(km::SysErrorMessage(copyErr) + ": " + fTarget.PathOf(path));
        }
        return true;
    }

    bool Commit() {
        if (fJournalDir.Valid()) {
            // Every step is on the disk before the copy counts as done.
            if (km::Fs().Fsync(fOut.Get()) != 0) {
                return Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
            }
            fOut.Reset();
            if (km::Fs().RenameAt(fJournalDir.Fd(), kJournalName, fJournalDir.Fd(), kDoneName, 0) !=
                0) {
                return Fail(SystemError() + ": " + fJournalDir.PathOf(kJournalName));
            }
        }
        // A backup that cannot go now goes with the next run's recovery,
        // which the done journal calls for.
        const bool backupGone =
            !Exists(fTarget, kBackupName) || km::DeleteEntryAt(fTarget.Fd(), kBackupName);
        if (backupGone && fJournalDir.Valid()) {
            km::Fs().UnlinkAt(fJournalDir.Fd(), kDoneName, 0);
        }
        return true;
    }

    // Keeps the first failure's text: what the user is told went wrong.
    bool Fail(const std::string& why) {
        if (fError.empty()) {
            fError = why;
        }
        return false;
    }

    static std::string SystemError() {
        return errno != 0 ? km::SysErrorMessage(errno) : std::string("Failed");
    }

    const km::TDir& fSource;
    const km::TDir& fTarget;
    const km::TDir& fJournalDir;
    km::TUniqueFd fOut;
    std::vector<Step> fSteps;
    std::string fError;
};

void RecoverIn(const km::TDir& dir, const TCopyInTargetFilter& mayWrite) {
    Journal journal;
    if (ReadJournal(dir, kJournalName, mayWrite, journal)) {
        const km::TDir target = km::TDir::Open(journal.target);
        if (target.Valid()) {
            RollBack(target, journal.steps);
        }
        km::Fs().UnlinkAt(dir.Fd(), kJournalName, 0);
    }
    Journal done;
    if (ReadJournal(dir, kDoneName, mayWrite, done)) {
        const km::TDir target = km::TDir::Open(done.target);
        if (target.Valid()) {
            km::DeleteEntryAt(target.Fd(), kBackupName);
        }
        km::Fs().UnlinkAt(dir.Fd(), kDoneName, 0);
    }
}

}  // namespace

bool CopyInWithRollback(const km::TDir& source, const km::TDir& target, const km::TDir& journalDir,
                        std::string* error) {
    TCopyIn copy(source, target, journalDir);
    const bool ok = copy.Run();
    if (!ok && error != nullptr) {
        *error = copy.Error();
    }
    return ok;
}

bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir, std::string* error) {
    const km::TDir source = km::TDir::Open(sourceDir);
    const km::TDir target = km::TDir::Open(targetDir);
    const km::TDir journal = journalDir.empty() ? km::TDir() : km::TDir::Open(journalDir);
    if (!target.Valid()) {
        if (error != nullptr) {
            *error = "The target folder does not exist: " + km::AddPathDelimiter(targetDir);
        }
        return false;
    }
    return CopyInWithRollback(source, target, journal, error);
}

void RecoverCopyIn(const km::TDir& journalDir, const TCopyInTargetFilter& mayWrite) {
    if (journalDir.Valid()) {
        RecoverIn(journalDir, mayWrite);
    }
}

void RecoverCopyIn(const std::string& journalDir, const TCopyInTargetFilter& mayWrite) {
    if (!journalDir.empty()) {
        RecoverCopyIn(km::TDir::Open(journalDir), mayWrite);
    }
}

}  // namespace qb
