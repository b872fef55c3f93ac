#include "common/base/KmDebug.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "common/base/TextUtil.h"

namespace km {
namespace {

constexpr uint16_t kErrorEntry = 0x0001;
constexpr uint16_t kWarningEntry = 0x0002;
constexpr uint16_t kErrorClass = 0x0100;
constexpr uint32_t kDebuggerWarningClass = 0x0400;
constexpr uint32_t kBoxErrorClass = 0x0800;
constexpr uint32_t kDebuggerAll = 0x1000;
constexpr uint32_t kDebuggerErrorClass = 0x2000;
constexpr uint32_t kFileAll = 0x4000;
constexpr uint32_t kBoxAll = 0x8000;

// Outputs and the file are shared by every thread that writes entries; the
// level is read without the lock.
struct DebugState {
    std::atomic<uint32_t> level{0};
    std::mutex mutex;
    std::string fileName;
    std::ofstream file;
    TDebugBoxHook boxHook;
    TDebugOutput output;
};

DebugState& State() {
    static DebugState state;
    return state;
}

std::string ProgramFileName() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.filename().empty()) {
        return exe.filename().string();
    }
    return program_invocation_short_name;
}

std::string NowText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[128];
    const size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
    return std::string(buffer, n);
}

void WriteToFile(DebugState& state, const std::string& header, const std::string& text) {
    try {
        if (!state.file.is_open()) {
            state.file.open(state.fileName, std::ios::out | std::ios::trunc | std::ios::binary);
            if (!state.file.is_open()) {
                return;
            }
            state.file << "Debug file was closed. Rewrite debug file.\r\n";
        }
        state.file << "\r\n";
        state.file << (header.empty() ? NowText() : header + ", " + NowText()) << "\r\n";
        state.file << text << "\r\n";
        state.file.flush();
        if (!state.file) {
            state.file.close();
        }
    } catch (...) {
        // A debug file that cannot be written must not stop the entry.
    }
}

void Output(uint16_t flags, const std::string& header, std::string_view msg) {
    DebugState& state = State();
    const uint32_t level = state.level.load(std::memory_order_relaxed);
    if ((flags & level) != flags) {
        return;
    }
    const bool errorClass = (flags & (kErrorEntry | kErrorClass)) != 0;
    const bool warningClass = errorClass || (flags & kWarningEntry) != 0;
    const std::string text(msg);
    const bool toBox = (level & kBoxAll) != 0 || ((level & kBoxErrorClass) != 0 && errorClass);
    const bool toDebugger = (level & kDebuggerAll) != 0 ||
                            ((level & kDebuggerWarningClass) != 0 && warningClass) ||
                            ((level & kDebuggerErrorClass) != 0 && errorClass);

    // The hooks run without the lock: a box runs an event loop of its own, in
    // which further entries may be written.
    TDebugBoxHook boxHook;
    TDebugOutput output;
    {
        std::lock_guard lock(state.mutex);
        boxHook = state.boxHook;
        output = state.output;
        if ((level & kFileAll) != 0) {
            WriteToFile(state, header, text);
        }
    }
    if (toBox) {
        const std::string boxText = "DEBUG: " + header + "\r\n\r\n" + text;
        if (boxHook) {
            boxHook(boxText, errorClass);
        } else {
            std::fprintf(stderr, "%s\n", boxText.c_str());
        }
    }
    if (toDebugger) {
        // One entry, one line, nothing that steers a terminal: texts may
        // carry what a server sent.
        const std::string line = PrintableText(header + ": " + text);
        if (output) {
            output(line);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
}

// Start and end of the unit: name the file, fix the level, and the two log
// entries (which the fixed level drops).
struct DebugUnit {
    DebugUnit() {
        std::error_code ec;
        const auto cwd = std::filesystem::current_path(ec);
        State().fileName =
            (ec ? std::filesystem::path() : cwd) / (ProgramFileName() + ".Debug.log");
        SetDebugLevel(kDefaultDebugLevel);
        DebugLog("Starting Debug-Log.", {}, 4);
    }
    ~DebugUnit() {
        DebugLog("Stopping Debug-Log.", {}, 4);
        CloseDebugFile();
    }
};
const DebugUnit debugUnit;

}  // namespace

void DebugError(std::string_view msg, std::string_view where, uint16_t flags) {
    std::string header = "#ERROR";
    if (!where.empty()) {
        header += " (in '" + std::string(where) + "') ";
    }
    header += ": ";
    Output(flags, header, msg);
}

void DebugWarning(std::string_view msg, std::string_view header, uint16_t flags) {
    Output(flags, header.empty() ? std::string("WARNING: ") : std::string(header), msg);
}

void DebugLog(std::string_view msg, std::string_view header, uint16_t flags) {
    Output(flags, header.empty() ? std::string("Log: ") : std::string(header), msg);
}

uint32_t SetDebugLevel(uint32_t level) {
    const uint32_t stored = (level & 0xFFFF0000u) == kDebugSignature ? level : 0;
    State().level.store(stored);
    return stored;
}

uint32_t GetDebugLevel() {
    return State().level.load();
}

std::string DebugFileName() {
    std::lock_guard lock(State().mutex);
    return State().fileName;
}

void SetDebugBoxHook(TDebugBoxHook hook) {
    std::lock_guard lock(State().mutex);
    State().boxHook = std::move(hook);
}

void SetDebugOutput(TDebugOutput output) {
    std::lock_guard lock(State().mutex);
    State().output = std::move(output);
}

void CloseDebugFile() {
    std::lock_guard lock(State().mutex);
    if (State().file.is_open()) {
        State().file.close();
    }
}

}  // namespace km
