#pragma once

// The debug log: error, warning and log entries, filtered by one process-wide
// level and sent to up to three outputs (message box, debug file, debugger
// output). The level fixed at start-up is 0x3F152101: only error entries pass,
// and they reach the debugger output alone, which here is one line on
// standard error.
//
// Any thread may write entries.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace km {

inline constexpr uint32_t kDebugSignature = 0x3F150000;
inline constexpr uint32_t kDefaultDebugLevel = 0x3F152101;

// Entry with the header "#ERROR", " (in '<where>') " when where is given, ": ".
void DebugError(std::string_view msg, std::string_view where = {}, uint16_t flags = 1);
// Entry with header, or "WARNING: ".
void DebugWarning(std::string_view msg, std::string_view header = {}, uint16_t flags = 2);
// Entry with header, or "Log: ".
void DebugLog(std::string_view msg, std::string_view header = {}, uint16_t flags = 4);

// Stores level, or 0 when its high 16 bits are not the signature 0x3F15;
// returns what was stored.
uint32_t SetDebugLevel(uint32_t level);
uint32_t GetDebugLevel();

// The full path of the debug file (current directory at start-up, program file
// name + ".Debug.log").
std::string DebugFileName();

// The message-box output. The user-interface layer installs a hook that shows
// a modal box; without one the box text goes to standard error.
using TDebugBoxHook = std::function<void(const std::string& text, bool errorIcon)>;
void SetDebugBoxHook(TDebugBoxHook hook);

// The debugger output (standard error by default); tests replace it to read
// what was written. An empty function restores the default.
using TDebugOutput = std::function<void(const std::string& line)>;
void SetDebugOutput(TDebugOutput output);

// Closes the debug file if it is open (also done at program end); the next
// entry for the file starts it anew.
void CloseDebugFile();

}  // namespace km
