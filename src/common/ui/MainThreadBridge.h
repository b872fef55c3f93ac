#pragma once

// Connects the thread layer's hand-over of calls (km::Synchronize, a worker's
// end) to the Qt event loop: every hand-over posts a call to the application
// that runs km::CheckSynchronize on the main thread. Calls handed over before
// the event loop runs are carried out as soon as it starts.
//
// TApplication installs the bridge in its constructor and removes it in its
// destructor; after that a hand-over posts nothing (the calls wait for the
// next CheckSynchronize or WaitFor).

class QObject;

namespace km {

// Main thread, with the application constructed: the calls are posted to
// target (the application), and an exception that escapes one of them goes
// to reportError, which runs inside the catch block.
void InstallMainThreadBridge(QObject& target, void (*reportError)());
// Main thread, before the application is destroyed.
void RemoveMainThreadBridge();

}  // namespace km
