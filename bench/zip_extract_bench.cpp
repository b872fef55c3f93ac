// Extraction and tree copy against unzip and cp on the same data, one run
// each: prints the time ratios (ours / theirs) and our peak memory. Not a
// test; see bench/README.md.
//
// Usage: zip_extract_bench [total MiB = 300] [files = 5000]
// Works below $TMPDIR (else /tmp); needs zip, unzip and cp.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/FileOps.h"
#include "common/KmZipper.h"
#include "common/PathUtil.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs a program (no shell) in directory cwd and waits for it.
bool Run(const std::vector<std::string>& args, const fs::path& cwd) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

template <typename F>
double Seconds(F&& f) {
    ::sync();
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory of this process in KiB since the last reset.
long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

void ResetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Text-like content that deflates about as well as real package files.
void GenerateTree(const fs::path& root, std::size_t totalBytes, int files) {
    std::mt19937_64 rng(42);
    std::vector<std::string> words;
    for (int i = 0; i < 4096; ++i) {
        std::string w;
        const int len = 2 + static_cast<int>(rng() % 10);
        for (int j = 0; j < len; ++j) {
            w += static_cast<char>('a' + rng() % 26);
        }
        words.push_back(w + (rng() % 12 == 0 ? "\n" : " "));
    }
    // Mixed sizes: most files small, a few large; scaled to the total.
    std::vector<double> weights(static_cast<std::size_t>(files));
    double sum = 0;
    for (double& w : weights) {
        const auto r = rng() % 100;
        w = r < 70   ? 1 + static_cast<double>(rng() % 8)
            : r < 97 ? 20 + static_cast<double>(rng() % 60)
                     : 400 + static_cast<double>(rng() % 800);
        sum += w;
    }
    std::string buffer;
    for (int i = 0; i < files; ++i) {
        const fs::path file = root / ("dir" + std::to_string(i % 40)) /
                              ("sub" + std::to_string(i % 7)) /
                              ("file" + std::to_string(i) + ".dat");
        fs::create_directories(file.parent_path());
        const auto size = static_cast<std::size_t>(static_cast<double>(totalBytes) *
                                                   weights[static_cast<std::size_t>(i)] / sum);
        buffer.clear();
        while (buffer.size() < size) {
            buffer += words[rng() % words.size()];
        }
        buffer.resize(size);
        std::ofstream(file, std::ios::binary)
            .write(buffer.data(), static_cast<std::streamsize>(size));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
    const int files = argc > 2 ? std::atoi(argv[2]) : 5000;
    const fs::path work = km::CreateTempWorkDir("kmb");
    const fs::path source = work / "src";
    const fs::path archive = work / "package.zip";

    std::printf("generating %zu MiB in %d files below %s\n", mib, files, work.c_str());
    GenerateTree(source / "patch", mib << 20, files);
    if (!Run({"zip", "-q", "-r", archive.string(), "patch"}, source)) {
        std::fprintf(stderr, "zip failed\n");
        return 1;
    }
    fs::remove_all(source);
    std::printf("archive: %.1f MiB\n", static_cast<double>(fs::file_size(archive)) / (1 << 20));

    bool ok = true;
    const double unzipTime = Seconds([&] {
        ok = Run({"unzip", "-q", "-o", archive.string(), "-d", (work / "unzip").string()}, work);
    });
    ResetPeakRss();
    const double ourTime =
        Seconds([&] { km::ExtractZipArchive(archive.string(), (work / "ours").string(), ""); });
    const long extractRss = PeakRssKiB();
    std::printf(
        "extract: unzip %.3f s, ours %.3f s, ratio %.3f (goal <= 0.86), peak RSS %.1f MiB "
        "(goal < 32)\n",
        unzipTime, ourTime, ourTime / unzipTime, static_cast<double>(extractRss) / 1024);

    const double cpTime = Seconds([&] {
        ok =
            Run({"cp", "-a", (work / "unzip/.").string(), (work / "cp-copy").string()}, work) && ok;
    });
    ResetPeakRss();
    const double copyTime = Seconds([&] {
        ok = km::ShellFileOperation((work / "ours/*").string(), (work / "our-copy").string(),
                                    km::FO_COPY, false) &&
             ok;
    });
    const long copyRss = PeakRssKiB();
    std::printf("copy:    cp -a %.3f s, ours %.3f s, ratio %.3f (goal <= 1.0), peak RSS %.1f MiB\n",
                cpTime, copyTime, copyTime / cpTime, static_cast<double>(copyRss) / 1024);

    km::DeleteDirectoryTree(work.string());
    if (!ok) {
        std::fprintf(stderr, "a step failed\n");
        return 1;
    }
    return 0;
}
