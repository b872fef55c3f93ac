// qbpublish: writes the project folder of a configuration server from a
// folder per update type.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Publisher.h"

namespace {

const char* const kUsage =
    "usage: qbpublish [options] SOURCE OUT\n"
    "\n"
    "SOURCE holds one folder per update type (dev, partner, patch, install); each\n"
    "becomes OUT/<type>.zip with that folder as its one top-level folder. OUT also\n"
    "receives configinfo.xml, which announces every package.\n"
    "\n"
    "options:\n"
    "  --date STAMP            publication stamp of every package (default: now, UTC)\n"
    "  --marker                name packages as #QBCONFIGDIR#<type>.zip (default: <type>.zip)\n"
    "  --password TYPE=TEXT    protect the package of TYPE with traditional ZIP encryption\n"
    "  --torun TYPE=PATH       program to start after TYPE was installed\n"
    "  --runparams TYPE=TEXT   its parameters\n"
    "  --help                  this text\n";

bool SplitTypeValue(const std::string& text, std::string& type, std::string& value) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        return false;
    }
    type = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "qbpublish: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    qbpublish::TPublishOptions options;
    std::string positional[2];
    int positionals = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--marker") {
            options.UrlStyle = qbpublish::TUrlStyle::Marker;
            continue;
        }
        if (arg == "--date" || arg == "--password" || arg == "--torun" || arg == "--runparams") {
            if (i + 1 >= argc) {
                return Fail(arg + " needs a value\n\n" + kUsage);
            }
            const std::string value = argv[++i];
            if (arg == "--date") {
                options.Date = value;
                continue;
            }
            std::string type;
            std::string text;
            if (!SplitTypeValue(value, type, text)) {
                return Fail(arg + " takes TYPE=VALUE, not \"" + value + "\"");
            }
            auto& settings = options.Types[type];
            (arg == "--password" ? settings.Password
             : arg == "--torun"  ? settings.ToRun
                                 : settings.RunParams) = text;
            continue;
        }
        if (arg.rfind("--", 0) == 0 || positionals == 2) {
            return Fail("unexpected argument \"" + arg + "\"\n\n" + kUsage);
        }
        positional[positionals++] = arg;
    }
    if (positionals != 2) {
        return Fail(std::string("SOURCE and OUT are needed\n\n") + kUsage);
    }
    options.SourceDir = positional[0];
    options.OutDir = positional[1];
    if (options.Date.empty()) {
        options.Date = qbpublish::CurrentDateStamp();
    }
    try {
        const std::string types = qbpublish::Publish(options);
        std::printf("published %s to %s (date %s)\n", types.c_str(), options.OutDir.c_str(),
                    options.Date.c_str());
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
