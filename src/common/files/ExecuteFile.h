#pragma once

// Starting another program, or opening a document with the desktop's program
// for it, the way the shell's "open" did: never through a command shell.

#include <cerrno>
#include <string>
#include <vector>

namespace km {

// The error code (EJclWin32Error::LastError) that stands for "the user declined
// to let the program run". Nothing on this platform asks for elevation, so
// ExecuteFile itself never reports it; callers that stay silent on it keep
// doing so.
inline constexpr int kErrorCancelled = ECANCELED;

// Splits a parameter string into arguments by the Windows command-line rule,
// with no expansion of any kind (no variables, wildcards, ~ or redirection):
// - blanks and tabs outside double quotes separate arguments; runs of them
//   count as one;
// - a double quote starts or ends a quoted part, inside which blanks are
//   ordinary characters; "" yields an empty argument;
// - 2n backslashes followed by a double quote give n backslashes and the quote
//   starts or ends a quoted part; 2n+1 backslashes followed by a double quote
//   give n backslashes and a literal double quote (so \" is a quote);
// - backslashes not followed by a double quote are literal.
std::vector<std::string> SplitCommandLine(const std::string& parameters);

// Starts aFileName with aParameters (split by SplitCommandLine) in the folder
// that holds it.
// - aFileName empty, missing, or a directory: with bRaiseErrors throws
//   km::Exception "ShellExecute Error: Could not find file \"<aFileName>\"",
//   otherwise returns -1.
// - An executable file is started directly with posix_spawn; the child gets
//   no file descriptors above 2, a clear signal mask and default signal
//   handlers.
// - Any other file is handed to xdg-open (found through PATH) as a document;
//   the parameters are not passed on. Without xdg-open the error code is
//   ENOEXEC: the document can neither be run nor opened.
// - A failed start: with bRaiseErrors throws EJclWin32Error carrying the errno
//   value and the text "ShellExecute Error", otherwise returns -1.
// - bWaitForExit: waits without a time limit and returns the exit code (for a
//   document, that of xdg-open); a process ended by signal N gives 128 + N.
//   Otherwise returns 0 once the process runs; it is reaped in the background
//   so that it never lingers as a zombie.
// aShowCommand has no meaning here and is ignored. Any thread may call it.
int ExecuteFile(const std::string& aFileName, const std::string& aParameters, bool bWaitForExit,
                bool bRaiseErrors, int aShowCommand = 1);

}  // namespace km
