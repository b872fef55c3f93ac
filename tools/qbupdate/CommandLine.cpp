#include "CommandLine.h"

#include <cstdlib>

namespace qbupdate {

const char* const kUsage =
    "usage: qbupdate [--check | --status | --export DIR | --from DIR] [--json]\n"
    "                [--no-follow-up] [--timeout SECONDS]\n"
    "\n"
    "Updates the installed product from the vendor's configuration server, as the\n"
    "online updater's window does, without a display: every update type (dev,\n"
    "partner, patch, install) gets the packages newer than the ones recorded.\n"
    "\n"
    "  --check            fetch only the descriptor and say what a run would install;\n"
    "                     nothing is changed, no package is downloaded\n"
    "  --status           show the outcome of qbupdate's last run\n"
    "  --export DIR       write the current descriptor, its signature and every\n"
    "                     package it names into DIR (offline media), each checked;\n"
    "                     the product is not changed\n"
    "  --from DIR         update from offline media that --export wrote instead of\n"
    "                     the server, with the same checks\n"
    "  --json             one JSON object on standard output instead of the text\n"
    "  --no-follow-up     leave an install package (its program needs a person) for\n"
    "                     the window: it is not downloaded, installed or recorded\n"
    "  --timeout SECONDS  end a run that takes longer, as a stop does (default 14400)\n"
    "  --help\n"
    "  --version          the version, the configuration server and the keys trusted\n"
    "\n"
    "One line per type on standard output; progress on standard error (a\n"
    "terminal only). Exit codes:\n"
    "  0   the run succeeded or everything was current (with --check: nothing waits)\n"
    "  1   any other failure (the text says which type failed and why)\n"
    "  2   a wrong option\n"
    "  3   no update descriptor (server, network, or refused signature)\n"
    "  4   another update of this product held it for the whole lock wait\n"
    "  5   stopped by SIGINT, SIGTERM or the time limit (nothing half-installed)\n"
    "  6   the product is not set up (no installation or data folder recorded)\n"
    "  10  with --check: updates wait\n";

std::optional<TOptions> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
    TOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--check") {
            options.Check = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--no-follow-up") {
            options.FollowUp = false;
        } else if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--version") {
            options.Version = true;
        } else if (arg == "--status") {
            options.Status = true;
        } else if (arg == "--export" || arg == "--from") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error = arg + " needs a folder";
                return std::nullopt;
            }
            (arg == "--export" ? options.ExportDir : options.MediaDir) = args[++i];
        } else if (arg == "--timeout") {
            if (i + 1 >= args.size()) {
                error = "--timeout needs a number of seconds";
                return std::nullopt;
            }
            const std::string& value = args[++i];
            char* end = nullptr;
            const long long seconds = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != 0 || seconds <= 0) {
                error = "--timeout takes a positive number of seconds, not \"" + value + "\"";
                return std::nullopt;
            }
            options.Timeout = std::chrono::seconds(seconds);
        } else {
            error = "unknown option \"" + arg + "\"";
            return std::nullopt;
        }
    }
    const int modes = int(options.Status) + int(options.Check) + int(!options.ExportDir.empty()) +
                      int(!options.MediaDir.empty());
    if (modes > 1) {
        error = "--status, --check, --export and --from exclude each other";
        return std::nullopt;
    }
    return options;
}

}  // namespace qbupdate
