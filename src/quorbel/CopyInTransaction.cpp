#include "quorbel/CopyInTransaction.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

constexpr const char* kJournalName = "~qbcopyin.journal";
constexpr const char* kDoneSuffix = ".done";
constexpr const char* kBackupName = ".~qbbackup";

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

bool ReadJournal(const std::string& file, Journal& journal) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[1] != ' ') {
            continue;  // a line cut short by the kill
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
                // A step always names something below the target; anything
                // else is not a line we wrote.
                if (!value.empty() && value.front() != '/' && value != "." && value != ".." &&
                    value.find("../") == std::string::npos) {
                    journal.steps.push_back({line[0], value});
                }
                break;
            default:
                break;
        }
    }
    return !journal.target.empty() && !journal.backup.empty();
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
            fs::remove(path.string() + km::kCopyPartSuffix, ec);
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
        if (!Exists(fTarget) || !fs::is_directory(fTarget) || Exists(fSource / kBackupName)) {
            return false;
        }
        // Recovery has run before: a backup folder still here is a leftover
        // that no journal refers to any more.
        if (Exists(fJournal.backup)) {
            km::DeleteDirectoryTree(fJournal.backup);
        }
        if (!StartJournal()) {
            return false;
        }
        bool ok = CopyFolder(fs::path());
        if (ok) {
            ok = Commit();
        }
        if (!ok) {
            fOut.close();
            RollBack(fJournal);
            RemoveJournal(fJournalFile);
        }
        return ok;
    }

  private:
    bool StartJournal() {
        if (fJournalFile.empty()) {
            return true;
        }
        fOut.open(fJournalFile, std::ios::binary | std::ios::trunc);
        fOut << "T " << Escape(fJournal.target) << "\nB " << Escape(fJournal.backup) << "\n";
        fOut.flush();
        return static_cast<bool>(fOut);
    }

    // Written before the step is taken, so a killed process never leaves a
    // step that the journal does not know.
    bool Record(char kind, const fs::path& relative) {
        fJournal.steps.push_back({kind, relative.string()});
        if (fJournalFile.empty()) {
            return true;
        }
        fOut << kind << ' ' << Escape(relative.string()) << '\n';
        fOut.flush();
        return static_cast<bool>(fOut);
    }

    bool CopyFolder(const fs::path& relative) {
        std::error_code ec;
        for (fs::directory_iterator it(fSource / relative, ec), end; !ec && it != end;
             it.increment(ec)) {
            const fs::path name = relative / it->path().filename();
            const fs::file_status status = it->symlink_status(ec);
            if (ec) {
                return false;
            }
            const bool ok = fs::is_directory(status)      ? EnterFolder(name)
                            : fs::is_regular_file(status) ? PlaceFile(name)
                                                          : false;
            if (!ok) {
                return false;
            }
        }
        return !ec;
    }

    bool EnterFolder(const fs::path& relative) {
        const fs::path path = fTarget / relative;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (fs::is_directory(status)) {
            return CopyFolder(relative);
        }
        if (fs::exists(status)) {
            return false;  // a file or a link where the package has a folder
        }
        if (!Record('D', relative) || !fs::create_directory(path, ec) || ec) {
            return false;
        }
        fs::permissions(path, fs::status(fSource / relative, ec).permissions(), ec);
        return CopyFolder(relative);
    }

    bool PlaceFile(const fs::path& relative) {
        const fs::path path = fTarget / relative;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (fs::is_directory(status)) {
            return false;
        }
        if (fs::exists(status)) {
            const fs::path saved = fs::path(fJournal.backup) / relative;
            if (!Record('R', relative)) {
                return false;
            }
            fs::create_directories(saved.parent_path(), ec);
            fs::rename(path, saved, ec);
            if (ec) {
                return false;
            }
        } else if (!Record('A', relative)) {
            return false;
        }
        return km::MoveFileOrCopy((fSource / relative).string(), path.string(), true);
    }

    bool Commit() {
        if (!fJournalFile.empty()) {
            fOut.close();
            std::error_code ec;
            fs::rename(fJournalFile, fJournalFile + kDoneSuffix, ec);
            if (ec) {
                return false;
            }
        }
        km::DeleteDirectoryTree(fJournal.backup);
        RemoveJournal(fJournalFile + kDoneSuffix);
        return true;
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
    std::ofstream fOut;
    Journal fJournal;
};

}  // namespace

bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir) {
    return TCopyIn(sourceDir, targetDir, journalDir).Run();
}

void RecoverCopyIn(const std::string& journalDir) {
    if (journalDir.empty()) {
        return;
    }
    const std::string file = km::AddPathDelimiter(journalDir) + kJournalName;
    std::error_code ec;
    Journal journal;
    if (ReadJournal(file, journal)) {
        RollBack(journal);
        fs::remove(file, ec);
    } else if (Exists(file)) {
        fs::remove(file, ec);  // killed before the journal named its target: nothing happened
    }
    Journal done;
    if (ReadJournal(file + kDoneSuffix, done)) {
        km::DeleteDirectoryTree(done.backup);
    }
    fs::remove(file + kDoneSuffix, ec);
}

}  // namespace qb
