// qbpublish: writes the project folder of a configuration server from a
// folder per update type.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Publisher.h"
#include "quorbel/DescriptorSignature.h"

namespace {

const char* const kUsage =
    "usage: qbpublish [options] SOURCE OUT\n"
    "       qbpublish keygen KEYFILE\n"
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
    "  --sign-key KEYFILE      sign with this Ed25519 key (PKCS#8 PEM): each type gets a\n"
    "                          sha256, the descriptor a published time and\n"
    "                          configinfo.xml.sig its signature\n"
    "  --published STAMP       the published time, YYYY-MM-DDTHH:MM:SSZ (default: now)\n"
    "\n"
    "keygen writes a new Ed25519 key to KEYFILE (mode 0600, never over an existing\n"
    "file) and prints its public key, the line a build takes in QB_UPDATE_PUBLIC_KEYS.\n"
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
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 3) {
            return Fail(std::string("keygen takes one KEYFILE\n\n") + kUsage);
        }
        try {
            std::printf("%s\n", qbpublish::GenerateSigningKey(argv[2]).c_str());
            return 0;
        } catch (const std::exception& e) {
            return Fail(e.what());
        }
    }
    qbpublish::TPublishOptions options;
    std::string signKeyFile;
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
        if (arg == "--date" || arg == "--password" || arg == "--torun" || arg == "--runparams" ||
            arg == "--sign-key" || arg == "--published") {
            if (i + 1 >= argc) {
                return Fail(arg + " needs a value\n\n" + kUsage);
            }
            const std::string value = argv[++i];
            if (arg == "--date") {
                options.Date = value;
                continue;
            }
            if (arg == "--sign-key") {
                signKeyFile = value;
                continue;
            }
            if (arg == "--published") {
                if (!qb::IsPublishedTime(value)) {
                    return Fail("--published takes YYYY-MM-DDTHH:MM:SSZ, not \"" + value + "\"");
                }
                options.Published = value;
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
        if (!signKeyFile.empty()) {
            qbpublish::ReadSigningKey(signKeyFile, options.SignKeyPem);
        } else if (!options.Published.empty()) {
            return Fail("--published needs --sign-key");
        }
        const std::string types = qbpublish::Publish(options);
        std::printf("published %s to %s (date %s)\n", types.c_str(), options.OutDir.c_str(),
                    options.Date.c_str());
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
