#pragma once

// What an update run is asked to do (TRunRequest), how it tells its progress
// (TRunObserver), and the names a request gives on the server and in the
// settings store.

#include <cstdint>
#include <string>

#include "quorbel/Product.h"
#include "quorbel/UpdateReport.h"
#include "quorbel/UpdaterSettings.h"

namespace qb {

struct TRunRequest {
    // Fetch the descriptor (false: only install archives already waiting).
    bool OnlineUpdate = true;
    // Installer mode: dev, partner, patch and install of Project. Otherwise
    // dev and partner of the default project (Project is then ignored).
    bool InstallerMode = true;
    std::string Project = kInstallerProject;
    TUpdaterSettings Settings;
    // Leave the install package to the window, where a person starts its
    // program: the type is neither downloaded nor installed, its date not
    // recorded (outcome Deferred).
    bool DeferInstall = false;
    // Offline media (a folder qbupdate --export wrote): every package and the
    // descriptor come from there instead of the server, with the same checks.
    std::string MediaDir;
};

// Told how the run goes, on the thread that runs it.
class TRunObserver {
  public:
    virtual ~TRunObserver() = default;
    // A type's handling begins.
    virtual void TypeStarted(const std::string& /*type*/) {}
    // Bytes of the current download so far.
    virtual void Received(int64_t /*bytes*/) {}
    // The run waits for the product's lock; holder names the process that
    // holds it when known.
    virtual void WaitingForLock(const std::string& /*holder*/) {}
    // A type's package is fetched from this kind of source.
    virtual void FetchingFrom(const std::string& /*type*/, TPackageSource /*source*/) {}
    // A type's handling ended.
    virtual void TypeEnded(const TTypeReport& /*report*/) {}
};

// The project of a request: Project in installer mode, else the default
// project ("tolvanconfig"; an empty Project counts as that too).
std::string ProjectOf(const TRunRequest& request);

// The folder of a project on the configuration server:
// root + "/qbdata/" + projectName + "/".
std::string ConfigServerPath(const std::string& root, const std::string& projectName);

// The registry value that holds a type's recorded package date.
std::string LastConfigUpdateRegKey(const std::string& projectName, const std::string& type);

}  // namespace qb
