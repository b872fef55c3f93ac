#pragma once

// A sandboxed installed product and a local configuration server for whole
// update runs: the product's folders, the registry store and the temporary
// folder live in a sandbox; packages are published with the publisher or
// written by hand; the product's folders are checked afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Publisher.h"
#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/Product.h"
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
    // The follow-up program's path and parameters.
    std::string toRun;
    std::string runParams;
    // From the stop request to the end of the run (zero without a stop).
    std::chrono::milliseconds stopLatency{0};
};

class UpdateRunFixture : public ::testing::Test {
  protected:
    static constexpr const char* kProject = qb::kInstallerProject;
    // A run that takes longer fails its test (and is stopped); one that does
    // not end even then ends the test program.
    static constexpr std::chrono::seconds kRunDeadline{120};

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

    // Publishes one folder per type (the content below the type folder)
    // with one date, as the vendor's publisher does.
    void Publish(const std::map<std::string, Tree>& types, const std::string& date,
                 const std::string& project = kProject,
                 std::map<std::string, qbpublish::TTypeOptions> options = {});
    void WriteDescriptor(const std::string& text, const std::string& project = kProject);
    // A descriptor announcing one package per (type, url) with the date "D1".
    static std::string Descriptor(const std::map<std::string, std::string>& urls);

    // One whole run in installer mode (project kProject) or not (default
    // project). With stopAfter, the worker is asked to stop that long after
    // it started. serverRoot replaces the local server's root. While it
    // runs, current points to the worker.
    TRunResult Run(bool installerMode = true,
                   std::chrono::milliseconds stopAfter = std::chrono::milliseconds(0),
                   const std::string& serverRoot = {});

    // The product's folders hold exactly what they held before the run (the
    // dev or partner archive may wait in its folder), and no working folder
    // or journal is left in the configuration folder.
    void ExpectProductUnchanged();
    // Only the named entries (and the lock file) are in the configuration folder.
    void ExpectOnlyInConfigDir(const std::vector<std::string>& names);

    std::string RegValue(const std::string& name);
    // The recorded date of a type of kProject.
    std::string DateOf(const std::string& type) {
        return RegValue(std::string("lastconfigupdate.") + kProject + "." + type);
    }

    kmtest::Sandbox sandbox;
    kmtest::TestHttpServer server;
    // The archive passwords the runs use (none when empty).
    qb::TArchivePasswordSource passwords;
    // The worker's stall limit in the runs.
    std::chrono::seconds stallTimeout = km::kDefaultStallTimeout;
    // How long the runs wait for the product's lock.
    std::chrono::milliseconds lockWait = qb::TUpdaterSettings().LockWait;
    std::atomic<qb::TConfigUpdaterThread*> current{nullptr};
};

// The peak resident set of this process, in KiB.
long MaxRssKib();

}  // namespace qbtest
