#include "quorbel/CopyInTransaction.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

constexpr const char* kJournalName = "~qbcopyin.journal";
constexpr const char* kDoneSuffix = ".done";
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

// Root's journal, seen by another user.
bool IsForeignJournal(const std::string& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0 && st.st_uid == 0 && ::geteuid() != 0;
}

// Missing: no journal. NotOurs: root's journal seen by another user, or one
// a live copy holds: left exactly as it is, for its owner's next run.
enum class TJournalRead { Missing, Usable, Refused, NotOurs };

// The whole content of a journal file that may be trusted; Refused with the
// reason for any other entry of that name.
TJournalRead ReadTrustedFile(const std::string& file, std::string& content, std::string& why) {
    const km::TUniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        const int error = errno;
        if (error == ENOENT) {
            return TJournalRead::Missing;
        }
        if (IsForeignJournal(file)) {
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
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
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
    for (const fs::path& part : fs::path(value)) {
        if (part == "..") {
            return false;
        }
    }
    return value != ".";
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
    } else if (journal.backup != (fs::path(target) / kBackupName).string()) {
        why = "its backup folder is not the target's own";
    } else if (!stepsValid) {
        why = "a step names a path outside its target";
    }
    journal.target = target;
    return true;
}

// Renames a journal that must not be acted on out of the way, so that it
// neither blocks later runs nor gets acted on by one.
void SetAside(const std::string& file, const std::string& why) {
    km::DebugWarning("copy-in journal " + file + " set aside: " + why, "RecoverCopyIn");
    if (::rename(file.c_str(), (file + kRefusedSuffix).c_str()) != 0) {
        ::unlink(file.c_str());
    }
}

// The journal of file, when there is one that may be acted on.
bool ReadJournal(const std::string& file, const TCopyInTargetFilter& mayWrite, Journal& journal) {
    std::string content;
    std::string why;
    switch (ReadTrustedFile(file, content, why)) {
        case TJournalRead::Missing:
        case TJournalRead::NotOurs:
            return false;
        case TJournalRead::Refused:
            SetAside(file, why);
            return false;
        case TJournalRead::Usable:
            break;
    }
    if (!ParseJournal(content, mayWrite, journal, why)) {
        ::unlink(file.c_str());  // killed before it named its target: nothing happened
        return false;
    }
    if (!why.empty()) {
        SetAside(file, why);
        return false;
    }
    return true;
}

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

void RollBack(const Journal& journal) {
    const fs::path target(journal.target);
    const fs::path backup(journal.backup);
    std::error_code ec;
    for (auto step = journal.steps.rbegin(); step != journal.steps.rend(); ++step) {
        const fs::path path = target / step->path;
        if (step->kind == 'R' || step->kind == 'A') {
            // The file may have been on its way in from another file system.
            fs::remove(km::CopyPartName(path.string()), ec);
        }
        switch (step->kind) {
            case 'R':
                // Without a backup the old file never left its place.
                if (Exists(backup / step->path)) {
                    fs::rename(backup / step->path, path, ec);
                }
                break;
            case 'A':
                fs::remove(path, ec);
                break;
            case 'D':
                fs::remove(path, ec);  // empty by now; a folder with foreign content stays
                break;
            default:
                break;
        }
    }
    km::DeleteDirectoryTree(journal.backup);
}

class TCopyIn {
  public:
    TCopyIn(const std::string& sourceDir, const std::string& targetDir,
            const std::string& journalDir)
        : fSource(km::RemovePathDelimiter(sourceDir)), fTarget(km::RemovePathDelimiter(targetDir)) {
        fJournal.target = fTarget.string();
        fJournal.backup = (fTarget / kBackupName).string();
        if (!journalDir.empty()) {
            fJournalFile = km::AddPathDelimiter(journalDir) + kJournalName;
        }
    }

    bool Run() {
        if (!Exists(fTarget) || !fs::is_directory(fTarget)) {
            return Fail("The target folder does not exist: " + fTarget.string());
        }
        if (Exists(fSource / kBackupName) || Exists(fSource / kJournalName)) {
            return Fail("The package holds a name the update itself uses: " + fSource.string());
        }
        // Another user's interrupted copy (root's, seen by a user) waits for
        // its owner: its journal and backup must stay as they are.
        if (!fJournalFile.empty() && IsForeignJournal(fJournalFile)) {
            return Fail("An interrupted update of another user waits to be recovered: " +
                        fJournalFile);
        }
        // Recovery has run before: a backup folder still here is a leftover
        // that no journal refers to any more.
        if (Exists(fJournal.backup)) {
            km::DeleteDirectoryTree(fJournal.backup);
        }
        if (!StartJournal()) {
            return Fail(SystemError() + ": " + fJournalFile);
        }
        bool ok = CopyFolder(fs::path());
        if (ok) {
            ok = Commit();
        }
        if (!ok) {
            fOut.Reset();
            RollBack(fJournal);
            RemoveJournal(fJournalFile);
        }
        return ok;
    }

    const std::string& Error() const { return fError; }

  private:
    bool StartJournal() {
        if (fJournalFile.empty()) {
            return true;
        }
        // Whatever stands at the name (recovery has dealt with our own
        // journals) goes; the new journal never writes through it.
        ::unlink(fJournalFile.c_str());
        fOut.Reset(::open(fJournalFile.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        // Held while the copy runs, so that a recovery running meanwhile
        // (a run without the update lock) leaves it alone.
        if (fOut.Valid() && ::flock(fOut.Get(), LOCK_EX | LOCK_NB) != 0) {
            return false;
        }
        return fOut.Valid() &&
               Write("T " + Escape(fJournal.target) + "\nB " + Escape(fJournal.backup) + "\n");
    }

    bool Write(const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fOut.Get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Written before the step is taken, so a killed process never leaves a
    // step that the journal does not know.
    bool Record(char kind, const fs::path& relative) {
        fJournal.steps.push_back({kind, relative.string()});
        if (fJournalFile.empty()) {
            return true;
        }
        return Write(std::string(1, kind) + ' ' + Escape(relative.string()) + '\n');
    }

    bool CopyFolder(const fs::path& relative) {
        std::error_code ec;
        for (fs::directory_iterator it(fSource / relative, ec), end; !ec && it != end;
             it.increment(ec)) {
            const fs::path name = relative / it->path().filename();
            const fs::file_status status = it->symlink_status(ec);
            if (ec) {
                return Fail(ec.message() + ": " + (fSource / name).string());
            }
            const bool ok = fs::is_directory(status) ? EnterFolder(name)
                            : fs::is_regular_file(status)
                                ? PlaceFile(name)
                                : Fail("Not a file or folder: " + (fSource / name).string());
            if (!ok) {
                return false;
            }
        }
        return !ec || Fail(ec.message() + ": " + (fSource / relative).string());
    }

    bool EnterFolder(const fs::path& relative) {
        const fs::path path = fTarget / relative;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (fs::is_directory(status)) {
            return CopyFolder(relative);
        }
        if (fs::exists(status)) {
            // Writing through a link could reach outside the product.
            return Fail("A file or link stands where the package has a folder: " + path.string());
        }
        if (!Record('D', relative)) {
            return Fail(SystemError() + ": " + fJournalFile);
        }
        if (!fs::create_directory(path, ec) || ec) {
            return Fail((ec ? ec.message() : SystemError()) + ": " + path.string());
        }
        fs::permissions(path, fs::status(fSource / relative, ec).permissions(), ec);
        return CopyFolder(relative);
    }

    bool PlaceFile(const fs::path& relative) {
        const fs::path path = fTarget / relative;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (fs::is_directory(status)) {
            return Fail("A folder stands where the package has a file: " + path.string());
        }
        if (fs::exists(status)) {
            const fs::path saved = fs::path(fJournal.backup) / relative;
            if (!Record('R', relative)) {
                return Fail(SystemError() + ": " + fJournalFile);
            }
            fs::create_directories(saved.parent_path(), ec);
            fs::rename(path, saved, ec);
            if (ec) {
                return Fail(ec.message() + ": " + path.string());
            }
        } else if (!Record('A', relative)) {
            return Fail(SystemError() + ": " + fJournalFile);
        }
        errno = 0;
        if (!km::MoveFileOrCopy((fSource / relative).string(), path.string(), true)) {
            return Fail(SystemError() + ": " + path.string());
        }
        return true;
    }

    bool Commit() {
        if (!fJournalFile.empty()) {
            fOut.Reset();
            std::error_code ec;
            fs::rename(fJournalFile, fJournalFile + kDoneSuffix, ec);
            if (ec) {
                return Fail(ec.message() + ": " + fJournalFile);
            }
        }
        km::DeleteDirectoryTree(fJournal.backup);
        RemoveJournal(fJournalFile + kDoneSuffix);
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

    static void RemoveJournal(const std::string& file) {
        if (!file.empty()) {
            std::error_code ec;
            fs::remove(file, ec);
        }
    }

    fs::path fSource;
    fs::path fTarget;
    std::string fJournalFile;
    km::TUniqueFd fOut;
    Journal fJournal;
    std::string fError;
};

}  // namespace

bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir, std::string* error) {
    TCopyIn copy(sourceDir, targetDir, journalDir);
    const bool ok = copy.Run();
    if (!ok && error != nullptr) {
        *error = copy.Error();
    }
    return ok;
}

void RecoverCopyIn(const std::string& journalDir, const TCopyInTargetFilter& mayWrite) {
    if (journalDir.empty()) {
        return;
    }
    const std::string file = km::AddPathDelimiter(journalDir) + kJournalName;
    Journal journal;
    if (ReadJournal(file, mayWrite, journal)) {
        RollBack(journal);
        ::unlink(file.c_str());
    }
    Journal done;
    if (ReadJournal(file + kDoneSuffix, mayWrite, done)) {
        km::DeleteDirectoryTree(done.backup);
        ::unlink((file + kDoneSuffix).c_str());
    }
}

}  // namespace qb
