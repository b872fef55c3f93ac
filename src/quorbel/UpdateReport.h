#pragma once

// What an update run reports: per update type a typed outcome, the legacy
// code of the type, its problem and the date recorded, and for the run the
// follow-up program and whatever ended it early. The combined result code
// the window shows and qbupdate prints is computed from a report in one
// place, CombinedResultCode.
//
// Per-type codes (the Parts' codes and the ones added since):
//    0 installed
//   -2 extracting or installing failed, or the package is not the signed one
//   -3 the package download failed or was stopped
//   -4 no update descriptor
//   -5 a signed build refused the descriptor
//   -6 the package archive does not exist or cannot be used
//   -7 the target folder does not exist, or no data folder is recorded
//   -8 moving or copying the package into place failed
//   -9 the install package names a follow-up program outside itself
//   -1001 nothing to install; -1002 stopped after a completed download
// Run codes: -1 an error ended the run, -10 another update held the product
// for all of the lock wait.

#include <cstdint>
#include <string>
#include <vector>

#include "quorbel/Problem.h"

namespace qb {

// The run's code when another update of the product held it for all of the
// lock wait.
inline constexpr int32_t kAnotherUpdateHoldsTheProduct = -10;

enum class TOutcome {
    Installed,     // a package was installed
    Current,       // nothing new (-1001)
    Failed,        // any failure of the type's own
    Stopped,       // a stop request ended the type's work
    NoDescriptor,  // no descriptor, and nothing waiting locally (-4)
    Refused,       // a signed build refused the descriptor (-5)
    Deferred,      // left for the window (the install package under --no-follow-up)
};

// The name of an outcome for scripts ("installed", "current", ...).
const char* OutcomeName(TOutcome outcome);

// Where a package came from: a waiting archive ("local"), the vendor's
// server, a mirror (the descriptor's, or the practice's own source), the
// practice's cache, offline media.
enum class TPackageSource { None, Local, Server, Mirror, Cache, Media };
const char* PackageSourceName(TPackageSource source);

struct TTypeReport {
    std::string Type;
    TOutcome Outcome = TOutcome::Current;
    // The type's code (see above).
    int32_t Code = 0;
    // A package of the type was installed in this run (a waiting archive
    // counts, even when a later step of the type failed).
    bool Installed = false;
    TProblem Problem;
    // The date recorded for the type after the run ("" when none).
    std::string Date;
    // The package URL the type downloaded or tried, "" when none.
    std::string Url;
    TPackageSource Source = TPackageSource::None;
    // The package was rebuilt from a delta package (what Source names).
    bool Delta = false;
};

// The follow-up program of the install package: the descriptor's values of
// the last type that reached the download step, and the folder it lies in.
struct TFollowUp {
    std::string Folder;  // the install package's folder (with "/"), "" when none
    std::string ToRun;
    std::string RunParams;

    // Folder followed directly by ToRun.
    std::string Path() const { return Folder + ToRun; }
};

struct TRunReport {
    bool InstallerMode = true;
    std::vector<TTypeReport> Types;
    // 0, or the run's own code: -1 (an error ended the run), -10 (locked).
    int32_t RunCode = 0;
    // The problem of the run's own code, or else the last problem any type
    // reported: the text that goes with the combined result.
    TProblem Problem;
    TFollowUp FollowUp;
    // A stop request ended the run or part of it.
    bool Stopped = false;
    // The run's time limit was reached (and stopped it).
    bool TimeLimitReached = false;
    // The process that held the product's lock (-10), when it is known.
    std::string LockHolder;
};

// The legacy combined result: the run's own code when it has one; else the
// bits of the installed kinds (1 dev or partner, 2 patch, 4 install); else
// the codes of the last two types handled, later x 100 + earlier.
int32_t CombinedResultCode(const TRunReport& report);

// Whether the run installed an install package whose program waits to be
// started.
bool HasFollowUp(const TRunReport& report);

}  // namespace qb
