#pragma once

// What qbupdate prints: text for people, JSON for scripts.

#include <string>

#include "quorbel/UpdateCheck.h"
#include "quorbel/UpdateRun.h"

namespace qbupdate {

// One type's outcome in a line ("dev: installed 20240611").
std::string OutcomeLine(const qb::TTypeOutcome& outcome);

std::string RunText(const qb::TUpdateRunResult& run, const std::string& followUp);
std::string RunJson(const qb::TUpdateRunResult& run, const std::string& followUp);
std::string CheckText(const qb::TUpdateCheck& check);
std::string CheckJson(const qb::TUpdateCheck& check);

// text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

}  // namespace qbupdate
