// qbpublish: writes the project folder of a configuration server from a
// folder per update type, checks one, and makes and shows signing keys.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "Publisher.h"
#include "ReleaseSettings.h"
#include "SigningKey.h"
#include "Verifier.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/InstallPaths.h"

namespace {

const char* const kUsage =
    "usage: qbpublish [options] SOURCE OUT\n"
    "       qbpublish verify DIR [--key PUBLIC]...\n"
    "       qbpublish keygen KEYFILE\n"
    "       qbpublish pubkey KEYFILE\n"
    "\n"
    "SOURCE holds one folder per update type (dev, partner, patch, install); each\n"
    "becomes OUT/<type>.zip with that folder as its one top-level folder. OUT also\n"
    "receives configinfo.xml, which announces every package with its sha256 and\n"
    "size. Files are written under new names and renamed into place, packages\n"
    "first; packages the release no longer names are removed.\n"
    "\n"
    "options:\n"
    "  --date STAMP            publication stamp of every package (default: now, UTC)\n"
    "  --marker                name packages as #QBCONFIGDIR#<type>.zip (default: <type>.zip)\n"
    "  --base-url URL          name packages as URL/<type>.zip (served from elsewhere)\n"
    "  --mirror URL            name URL/<type>.zip as a further source (repeatable)\n"
    "  --delta-base DATE=DIR   also write <type>-delta-DATE.zip per type (but install):\n"
    "                          what turns the release of DATE, whose SOURCE folder was\n"
    "                          DIR, into this one (repeatable; none larger than half\n"
    "                          the package)\n"
    "  --password TYPE=TEXT    protect the package of TYPE with traditional ZIP encryption\n"
    "  --torun TYPE=PATH       program to start after TYPE was installed\n"
    "  --runparams TYPE=TEXT   its parameters\n"
    "  --sign-key KEYFILE      sign with this Ed25519 key (PKCS#8 PEM): the descriptor gets\n"
    "                          a published time and configinfo.xml.sig its signature\n"
    "  --published STAMP       the published time, YYYY-MM-DDTHH:MM:SSZ (default: now);\n"
    "                          a time ahead of this machine's clock is refused\n"
    "  --supersede STAMP       a published time accepted by mistake that this release\n"
    "                          supersedes (products that accepted it take this one once)\n"
    "  --settings FILE         release settings kept between publishes: read as the\n"
    "                          defaults, written back with what the command line gives\n"
    "\n"
    "verify checks DIR as the updater will: the descriptor, its signature by one of\n"
    "the --key lines (raw base64 or what openssl pkey -pubout prints), and the size\n"
    "and sha256 of every package, mirror copy and delta it names (fetching those\n"
    "served from elsewhere). Exit 0 when everything is right, 1 otherwise.\n"
    "\n"
    "keygen writes a new Ed25519 key to KEYFILE (mode 0600, never over an existing\n"
    "file) and prints its public key line; pubkey prints the public key line of an\n"
    "existing key: the line a build takes in QB_UPDATE_PUBLIC_KEYS.\n"
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

int KeyCommand(int argc, char** argv) {
    const std::string command = argv[1];
    if (argc != 3) {
        return Fail(command + " takes one KEYFILE\n\n" + kUsage);
    }
    try {
        std::string pem;
        std::printf("%s\n", (command == "keygen" ? qbpublish::GenerateSigningKey(argv[2])
                                                 : qbpublish::ReadSigningKey(argv[2], pem))
                                .c_str());
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

int VerifyCommand(int argc, char** argv) {
    std::string dir;
    std::vector<std::string> keyLines;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--key" && i + 1 < argc) {
            keyLines.emplace_back(argv[++i]);
        } else if (dir.empty() && !arg.starts_with("--")) {
            dir = arg;
        } else {
            return Fail("unexpected argument \"" + arg + "\"\n\n" + kUsage);
        }
    }
    if (dir.empty()) {
        return Fail(std::string("verify needs DIR\n\n") + kUsage);
    }
    try {
        const qbpublish::TVerifyResult result =
            qbpublish::Verify(dir, qb::DecodePublicKeys(keyLines));
        for (const std::string& line : result.Lines) {
            std::printf("%s\n", line.c_str());
        }
        return result.Ok ? 0 : 1;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

// What the command line gives, and whether it gave it.
struct TGiven {
    qbpublish::TReleaseSettings Settings;
    bool BaseUrl = false;
    bool Mirrors = false;
    bool Marker = false;
    bool SignKey = false;
};

// The settings file's values under what the command line gives.
qbpublish::TReleaseSettings Merge(qbpublish::TReleaseSettings kept, const TGiven& given) {
    for (const auto& [type, value] : given.Settings.ToRun) {
        kept.ToRun[type] = value;
    }
    for (const auto& [type, value] : given.Settings.RunParams) {
        kept.RunParams[type] = value;
    }
    for (const auto& [type, value] : given.Settings.Password) {
        kept.Password[type] = value;
    }
    if (given.BaseUrl) {
        kept.BaseUrl = given.Settings.BaseUrl;
    }
    if (given.Mirrors) {
        kept.Mirrors = given.Settings.Mirrors;
    }
    if (given.Marker) {
        kept.Marker = true;
    }
    if (given.SignKey) {
        kept.SignKey = given.Settings.SignKey;
    }
    return kept;
}

// The per-type settings of the types SOURCE holds: the file's for those
// only, the command line's for any (a type without a folder is refused).
void ApplyTypes(const qbpublish::TReleaseSettings& settings, const TGiven& given,
                const std::string& sourceDir, qbpublish::TPublishOptions& options) {
    const auto apply = [&](const std::map<std::string, std::string>& values, auto field) {
        for (const auto& [type, value] : values) {
            const bool present = std::filesystem::is_directory(sourceDir + "/" + type);
            const bool givenHere = given.Settings.ToRun.contains(type) ||
                                   given.Settings.RunParams.contains(type) ||
                                   given.Settings.Password.contains(type);
            if ((present || givenHere) && !value.empty()) {
                options.Types[type].*field = value;
            }
        }
    };
    apply(settings.ToRun, &qbpublish::TTypeOptions::ToRun);
    apply(settings.RunParams, &qbpublish::TTypeOptions::RunParams);
    apply(settings.Password, &qbpublish::TTypeOptions::Password);
}

int PublishCommand(int argc, char** argv) {
    qbpublish::TPublishOptions options;
    TGiven given;
    std::string settingsFile;
    std::string positional[2];
    int positionals = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--marker") {
            given.Marker = true;
            continue;
        }
        static const char* const kWithValue[] = {
            "--date",      "--password", "--torun",  "--runparams", "--sign-key",  "--published",
            "--supersede", "--base-url", "--mirror", "--settings",  "--delta-base"};
        if (std::find_if(std::begin(kWithValue), std::end(kWithValue), [&arg](const char* name) {
                return arg == name;
            }) != std::end(kWithValue)) {
            if (i + 1 >= argc) {
                return Fail(arg + " needs a value\n\n" + kUsage);
            }
            const std::string value = argv[++i];
            if (arg == "--date") {
                options.Date = value;
            } else if (arg == "--sign-key") {
                given.Settings.SignKey = value;
                given.SignKey = true;
            } else if (arg == "--published") {
                if (!qb::IsPublishedTime(value)) {
                    return Fail("--published takes YYYY-MM-DDTHH:MM:SSZ, not \"" + value + "\"");
                }
                options.Published = value;
            } else if (arg == "--supersede") {
                options.Supersedes = value;
            } else if (arg == "--base-url") {
                given.Settings.BaseUrl = value;
                given.BaseUrl = true;
            } else if (arg == "--mirror") {
                given.Settings.Mirrors.push_back(value);
                given.Mirrors = true;
            } else if (arg == "--settings") {
                settingsFile = value;
            } else if (arg == "--delta-base") {
                std::string date;
                std::string dir;
                if (!SplitTypeValue(value, date, dir) || dir.empty()) {
                    return Fail("--delta-base takes DATE=DIR, not \"" + value + "\"");
                }
                options.DeltaBases.push_back({date, dir});
            } else {
                std::string type;
                std::string text;
                if (!SplitTypeValue(value, type, text) || qb::FindUpdateType(type) == nullptr) {
                    return Fail(arg +
                                " takes TYPE=VALUE with a type of dev, partner, patch or "
                                "install, not \"" +
                                value + "\"");
                }
                (arg == "--password" ? given.Settings.Password
                 : arg == "--torun"  ? given.Settings.ToRun
                                     : given.Settings.RunParams)[type] = text;
            }
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
        const qbpublish::TReleaseSettings settings =
            Merge(settingsFile.empty() ? qbpublish::TReleaseSettings()
                                       : qbpublish::LoadReleaseSettings(settingsFile),
                  given);
        ApplyTypes(settings, given, options.SourceDir, options);
        options.BaseUrl = settings.BaseUrl;
        options.Mirrors = settings.Mirrors;
        options.UrlStyle =
            settings.Marker ? qbpublish::TUrlStyle::Marker : qbpublish::TUrlStyle::Relative;
        if (!settings.SignKey.empty()) {
            qbpublish::ReadSigningKey(settings.SignKey, options.SignKeyPem);
        } else if (!options.Published.empty()) {
            return Fail("--published needs --sign-key");
        }
        const qbpublish::TPublishResult result = qbpublish::Publish(options);
        if (!settingsFile.empty()) {
            qbpublish::SaveReleaseSettings(settingsFile, settings);
        }
        for (const std::string& warning : result.Warnings) {
            std::fprintf(stderr, "qbpublish: warning: %s\n", warning.c_str());
        }
        std::printf("published %s to %s (date %s)\n", result.Types.c_str(), options.OutDir.c_str(),
                    options.Date.c_str());
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc >= 2 ? argv[1] : "";
    if (command == "keygen" || command == "pubkey") {
        return KeyCommand(argc, argv);
    }
    if (command == "verify") {
        return VerifyCommand(argc, argv);
    }
    return PublishCommand(argc, argv);
}
