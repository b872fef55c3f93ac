#pragma once

// What qbupdate prints: text for people, JSON for scripts. Texts from the
// engine are translated here, where they are shown, and everything that came
// from a server is escaped so that it cannot steer a terminal.

#include <string>

#include "quorbel/MediaExport.h"
#include "quorbel/UpdateCheck.h"
#include "quorbel/UpdateReport.h"

namespace qbupdate {

// One type's outcome in a line ("dev: installed 20240611").
std::string OutcomeLine(const qb::TTypeReport& report);

// What a combined result says, in words ("install: nothing new; patch:
// download failed").
std::string ResultMeaning(const qb::TRunReport& report);

// The run's closing lines (follow-up program, result) after the type lines.
std::string RunTail(const qb::TRunReport& report, const std::string& followUp);
std::string RunJson(const qb::TRunReport& report, const std::string& followUp);
std::string CheckText(const qb::TUpdateCheck& check);
std::string CheckJson(const qb::TUpdateCheck& check);
// The outcome of --export DIR.
std::string ExportText(const qb::TExportReport& report, const std::string& dir);
std::string ExportJson(const qb::TExportReport& report, const std::string& dir);

// text as a JSON string, quotes included; bytes that are not UTF-8 are
// written as U+FFFD.
std::string JsonString(const std::string& text);

// text for a terminal or a log (km::PrintableText).
std::string Printable(const std::string& text);

}  // namespace qbupdate
