#pragma once

// What the benchmarks share: running a reference tool, timing a step, peak
// memory, and generated package content.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kmbench {

// Runs a program (no shell) in folder cwd and waits for it; true when it
// exited with 0.
bool Run(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// The wall-clock seconds a step takes. Runs sync first, so that the write-back
// of one step does not land in the next.
double Seconds(const std::function<void()>& step);

// Peak resident memory of this process in KiB since the last reset.
long PeakRssKiB();
void ResetPeakRss();

// A free loopback port (free when asked).
int FreePort();

// Starts python3's static file server on 127.0.0.1:port for the folder root
// and waits until it answers probePath; the server's process id.
pid_t StartStaticServer(const std::filesystem::path& root, int port, const std::string& probePath);

// Text-like files of mixed sizes (most small, a few large) that deflate about
// as well as real package files, totalBytes in all, spread over folders.
void GenerateTree(const std::filesystem::path& root, std::size_t totalBytes, int files,
                  uint64_t seed = 42);

}  // namespace kmbench
