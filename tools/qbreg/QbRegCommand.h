#pragma once

// The commands of qbreg: query, add and delete on the registry store, with
// reg.exe's argument conventions. See Usage() for the command line.

#include <ostream>
#include <string>
#include <vector>

namespace qbreg {

// The usage text.
std::string Usage();

// Runs one command line (without the program name). Output goes to out,
// messages beginning with "ERROR: " to err. Returns the exit code: 0 on
// success, 1 otherwise. Raises nothing for registry or argument reasons.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qbreg
