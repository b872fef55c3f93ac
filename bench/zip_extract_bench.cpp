// Extraction and tree copy against unzip and cp on the same data, one run
// each: prints the time ratios (ours / theirs) and our peak memory. Not a
// test; see bench/README.md.
//
// Usage: zip_extract_bench [total MiB = 300] [files = 5000]
// Works below $TMPDIR (else /tmp); needs zip, unzip and cp.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/zip/KmZipper.h"
#include "support/BenchSupport.h"

namespace fs = std::filesystem;
using kmbench::PeakRssKiB;
using kmbench::ResetPeakRss;
using kmbench::Run;
using kmbench::Seconds;

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
    const int files = argc > 2 ? std::atoi(argv[2]) : 5000;
    const fs::path work = km::CreateTempWorkDir("kmb");
    const fs::path source = work / "src";
    const fs::path archive = work / "package.zip";

    std::printf("generating %zu MiB in %d files below %s\n", mib, files, work.c_str());
    kmbench::GenerateTree(source / "patch", mib << 20, files);
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
