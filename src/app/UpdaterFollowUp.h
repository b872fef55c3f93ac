#pragma once

// How the wizard learns the follow-up program from the update worker.

#include "MainForm.h"

// The ended update worker's GetToRun() and RunParams(). Raises
// km::EInternalError when worker is not a qb::TConfigUpdaterThread.
// Main thread, after the worker's end has been handled.
TFollowUpProgram ReadUpdaterFollowUp(km::TManagedThread& worker);

// The ended update worker's problem text in the user's language (through the
// message catalogue). Raises as ReadUpdaterFollowUp does. Main thread.
std::string ReadUpdaterResultText(km::TManagedThread& worker);
