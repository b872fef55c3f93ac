#pragma once

// The record of qbupdate's last run, for "qbupdate --status": when it ran,
// the combined result and each type's outcome, code, recorded date and
// where its package came from. One small file per project, written at the
// end of every run in qbupdate's state folder: KM_REGISTRY_DIR when set
// (sandboxes), /var/lib/kelmirath for root, else
// ${XDG_STATE_HOME:-~/.local/state}/kelmirath.

#include <optional>
#include <string>

#include "quorbel/UpdateReport.h"

namespace qbupdate {

// The status file of project.
std::string StatusFile(const std::string& project);

// Writes the report of a run that ended at time (a "published" time) to the
// status file, in one step (never half written, never through a link).
// False when it cannot be written.
bool WriteStatus(const std::string& project, const qb::TRunReport& report, const std::string& time);

// The last run as text ("last run 2026-12-11T02:13:05Z: result 3" and a line
// per type) or as one JSON object; nothing when no run is recorded.
std::optional<std::string> StatusText(const std::string& project);
std::optional<std::string> StatusJson(const std::string& project);

}  // namespace qbupdate
