#include "ReleaseSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "PublishError.h"
#include "common/base/TextUtil.h"

namespace qbpublish {

TReleaseSettings LoadReleaseSettings(const std::string& file) {
    TReleaseSettings settings;
    std::ifstream in(file);
    if (!in) {
        return settings;
    }
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string text = km::Trim(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            throw EPublishError(file + ":" + std::to_string(number) + ": not KEY = VALUE");
        }
        const std::string key = km::Trim(text.substr(0, eq));
        const std::string value = km::Trim(text.substr(eq + 1));
        const size_t dot = key.find('.');
        const std::string kind = key.substr(0, dot);
        const std::string type = dot == std::string::npos ? std::string() : key.substr(dot + 1);
        if (kind == "torun" && !type.empty()) {
            settings.ToRun[type] = value;
        } else if (kind == "runparams" && !type.empty()) {
            settings.RunParams[type] = value;
        } else if (kind == "password" && !type.empty()) {
            settings.Password[type] = value;
        } else if (key == "base-url") {
            settings.BaseUrl = value;
        } else if (key == "mirror") {
            settings.Mirrors.push_back(value);
        } else if (key == "marker") {
            settings.Marker = value == "yes";
        } else if (key == "sign-key") {
            settings.SignKey = value;
        } else {
            throw EPublishError(file + ":" + std::to_string(number) + ": unknown setting \"" + key +
                                "\"");
        }
    }
    return settings;
}

void SaveReleaseSettings(const std::string& file, const TReleaseSettings& settings) {
    std::string text = "# qbpublish release settings (see qbpublish --help)\n";
    const auto perType = [&text](const char* kind,
                                 const std::map<std::string, std::string>& values) {
        for (const auto& [type, value] : values) {
            if (!value.empty()) {
                text += std::string(kind) + "." + type + " = " + value + "\n";
            }
        }
    };
    perType("torun", settings.ToRun);
    perType("runparams", settings.RunParams);
    perType("password", settings.Password);
    if (!settings.BaseUrl.empty()) {
        text += "base-url = " + settings.BaseUrl + "\n";
    }
    for (const std::string& mirror : settings.Mirrors) {
        text += "mirror = " + mirror + "\n";
    }
    text += std::string("marker = ") + (settings.Marker ? "yes" : "no") + "\n";
    if (!settings.SignKey.empty()) {
        text += "sign-key = " + settings.SignKey + "\n";
    }
    const std::string temp = file + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd < 0 || ::close(fd) != 0 || !written || std::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw EPublishError("Cannot write the release settings " + file);
    }
}

}  // namespace qbpublish
