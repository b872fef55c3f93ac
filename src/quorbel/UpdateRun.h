#pragma once

// The update run: the one core that the window's worker, qbupdate, the
// drills and the tests all drive.
//
// A run is a function of what to update (TRunRequest), the outside world
// (TWorld: fetching, the file system, the settings store, the clock) and a
// stop request, and returns a report (UpdateReport.h). It never throws for
// an expected failure: whatever goes wrong becomes a per-type outcome and
// code, or the run's own code (-1 for an error that ended it, -10 when
// another update held the product).
//
// The steps, in order:
//   1. the product's folders are held and its lock taken (UpdateLock.h);
//      what killed runs left is recovered (UpdateRecovery.h);
//   2. the descriptor is fetched, parsed and, in a signed build, verified
//      (DescriptorFetch.h);
//   3. for each update type (InstallPaths.h) in turn: a waiting archive is
//      installed and recorded as "init"; a newer package is downloaded
//      (PackageFetch.h), put where it waits, installed (PackageInstall.h:
//      folder swap or journaled copy-in) and its date recorded (TypeUpdate.h).
// Texts are never translated here: the report carries problem ids
// (Problem.h) that the window and qbupdate translate where they show them.

#include <functional>

#include "quorbel/RunRequest.h"
#include "quorbel/UpdateReport.h"
#include "quorbel/UpdateWorld.h"

namespace qb {

// One update run; see above. shouldStop (may be empty) is asked during every
// wait and download. The world's file system is installed for the calling
// thread while the run lasts.
TRunReport RunUpdate(const TRunRequest& request, const TWorld& world,
                     const std::function<bool()>& shouldStop, TRunObserver* observer = nullptr);

}  // namespace qb
