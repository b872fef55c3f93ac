#pragma once

// A sandboxed installed product and a local configuration server for the
// reliability drills: whole update runs against hostile servers and packages,
// with the product's folders checked afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "quorbel/ConfigUpdaterThread.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace qbtest {

// relative path -> content, "/" for a folder, "->" + target for a link
using kmtest::Tree;

using kmtest::MakeTree;
using kmtest::ReadTree;
// Every path below root (links not followed), relative to it.
std::vector<std::string> ListAll(const std::filesystem::path& root);

struct TRunResult {
    int code = 0;
    std::string text;
    // From the stop request to the end of the run (zero without a stop).
    std::chrono::milliseconds stopLatency{0};
};

class UpdateDrill : public ::testing::Test {
  protected:
    static constexpr const char* kProject = "240611TolvanUpdK718";
    static constexpr const char* kThreadId = "QBConfigUpdaterThread";

    void SetUp() override;

    std::filesystem::path DataDir() const { return sandbox.Root() / "data"; }
    std::filesystem::path ConfigDir() const { return DataDir() / "config"; }
    std::filesystem::path InstallDir() const { return sandbox.Root() / "install"; }
    std::filesystem::path ProjectDir(const std::string& project = kProject) const {
        return sandbox.Root() / "server" / "qbdata" / project;
    }

    // The trees every test starts with.
    static Tree OldDev() { return {{"d.txt", "old dev"}, {"sub", "/"}, {"sub/x.cfg", "x"}}; }
    static Tree OldPartner() { return {{"p.txt", "old partner"}}; }
    static Tree OldInstall() { return {{"app.bin", "v1"}, {"keep.txt", "keep"}}; }

    void WriteDescriptor(const std::string& text, const std::string& project = kProject);
    // A descriptor announcing one package per (type, url) with the date "D1".
    static std::string Descriptor(const std::map<std::string, std::string>& urls);

    // One whole run in installer mode (project kProject) or not (default
    // project). With stopAfter, the worker is asked to stop that long after
    // it started. serverRoot replaces the local server's root.
    TRunResult Run(bool installerMode = true,
                   std::chrono::milliseconds stopAfter = std::chrono::milliseconds(0),
                   const std::string& serverRoot = {});

    // The product's folders hold exactly what they held before the run (the
    // dev or partner archive may wait in its folder), and no working folder
    // or journal is left in the configuration folder.
    void ExpectProductUnchanged();

    std::string RegValue(const std::string& name);

    kmtest::Sandbox sandbox;
    kmtest::TestHttpServer server;
    // The archive passwords the runs use (none when empty).
    qb::TArchivePasswordSource passwords;
};

// The peak resident set of this process, in KiB.
long MaxRssKib();

}  // namespace qbtest
