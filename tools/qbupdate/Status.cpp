#include "Status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "Report.h"
#include "common/base/TextUtil.h"
#include "common/base/TrustedPath.h"
#include "common/files/FileOps.h"
#include "common/files/UniqueFd.h"

namespace qbupdate {
namespace {

std::string StateDir() {
    if (const std::optional<std::string> dir = km::TrustedEnvPath("KM_REGISTRY_DIR")) {
        return *dir;
    }
    if (::geteuid() == 0) {
        return "/var/lib/kelmirath";
    }
    const std::optional<std::string> state = km::TrustedEnvPath("XDG_STATE_HOME");
    return (state ? *state : km::PasswordHomeDir() + "/.local/state") + "/kelmirath";
}

struct TStatus {
    std::string Time;
    std::string Result;
    std::string Stopped;
    // type, outcome, code, date, source, text
    std::vector<std::vector<std::string>> Types;
};

// The tab-separated fields of line, empty ones included.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

std::optional<TStatus> ReadStatus(const std::string& project) {
    std::ifstream in(StatusFile(project));
    if (!in) {
        return std::nullopt;
    }
    TStatus status;
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> fields = Fields(line);
        if (fields.size() == 2 && fields[0] == "time") {
            status.Time = fields[1];
        } else if (fields.size() == 2 && fields[0] == "result") {
            status.Result = fields[1];
        } else if (fields.size() == 2 && fields[0] == "stopped") {
            status.Stopped = fields[1];
        } else if (fields.size() == 7 && fields[0] == "type") {
            status.Types.emplace_back(fields.begin() + 1, fields.end());
        }
    }
    if (status.Time.empty()) {
        return std::nullopt;
    }
    return status;
}

}  // namespace

std::string StatusFile(const std::string& project) {
    return StateDir() + "/qbupdate-status." + project;
}

bool WriteStatus(const std::string& project, const qb::TRunReport& report,
                 const std::string& time) {
    std::string text = "time\t" + time + "\nresult\t" +
                       std::to_string(qb::CombinedResultCode(report)) + "\nstopped\t" +
                       (report.Stopped ? "yes" : "no") + "\n";
    for (const qb::TTypeReport& type : report.Types) {
        // One field, one line: whatever came from a server is escaped.
        text += "type\t" + type.Type + "\t" + qb::OutcomeName(type.Outcome) + "\t" +
                std::to_string(type.Code) + "\t" + km::PrintableText(type.Date) + "\t" +
                qb::PackageSourceName(type.Source) + "\t" +
                km::PrintableText(qb::ProblemTextGerman(type.Problem)) + "\n";
    }
    const std::string dir = StateDir();
    try {
        km::ForceDirectories(dir);
    } catch (const std::exception&) {
        return false;
    }
    const std::string file = StatusFile(project);
    const std::string temp = file + ".new";
    ::unlink(temp.c_str());
    const km::TUniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.Valid() ||
        ::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        ::unlink(temp.c_str());
        return false;
    }
    return ::rename(temp.c_str(), file.c_str()) == 0;
}

std::optional<std::string> StatusText(const std::string& project) {
    const std::optional<TStatus> status = ReadStatus(project);
    if (!status) {
        return std::nullopt;
    }
    std::string text = "last run " + status->Time + ": result " + status->Result +
                       (status->Stopped == "yes" ? " (stopped)" : "") + "\n";
    for (const std::vector<std::string>& type : status->Types) {
        text += type[0] + ": " + type[1] + " (" + type[2] + ")" +
                (type[3].empty() ? "" : ", date " + type[3]) +
                (type[4].empty() ? "" : ", from " + type[4]) +
                (type[5].empty() ? "" : ": " + type[5]) + "\n";
    }
    return text;
}

std::optional<std::string> StatusJson(const std::string& project) {
    const std::optional<TStatus> status = ReadStatus(project);
    if (!status) {
        return std::nullopt;
    }
    std::string json =
        "{\"time\":" + JsonString(status->Time) + ",\"result\":" + JsonString(status->Result) +
        ",\"stopped\":" + (status->Stopped == "yes" ? "true" : "false") + ",\"types\":[";
    for (size_t i = 0; i < status->Types.size(); ++i) {
        const std::vector<std::string>& type = status->Types[i];
        json += std::string(i > 0 ? "," : "") + "{\"type\":" + JsonString(type[0]) +
                ",\"outcome\":" + JsonString(type[1]) + ",\"code\":" + JsonString(type[2]) +
                ",\"date\":" + JsonString(type[3]) + ",\"source\":" + JsonString(type[4]) +
                ",\"text\":" + JsonString(type[5]) + "}";
    }
    return json + "]}\n";
}

}  // namespace qbupdate
