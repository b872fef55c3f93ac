#include "common/ui/MainThreadBridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <cstdint>
#include <mutex>

#include "common/files/UniqueFd.h"
#include "common/thread/Thread.h"

namespace km {
namespace {

// A hand-over wakes the main thread through an event counter that the event
// loop watches, not by posting a call: a posted call is an object made on the
// handing thread and read on the main thread, synchronised only inside Qt,
// where a thread checker cannot see it. The counter's notifier is made and
// read on the main thread alone.
//
// The hook may fire on any thread, also while the application goes away.
std::mutex gMutex;
TUniqueFd gWakeFd;
QPointer<QSocketNotifier> gNotifier;
QObject* gTarget = nullptr;  // posted calls, where no counter could be made
void (*gReportError)() = nullptr;

void RunHandedOverCalls() {
    try {
        CheckSynchronize();
    } catch (...) {
        gReportError();
    }
}

void Wake() {
    std::lock_guard lock(gMutex);
    if (gWakeFd.Valid()) {
        const uint64_t one = 1;
        // Only a full counter refuses, and a full counter wakes the loop.
        [[maybe_unused]] const ssize_t written = ::write(gWakeFd.Get(), &one, sizeof one);
    } else if (gTarget != nullptr) {
        QMetaObject::invokeMethod(gTarget, &RunHandedOverCalls, Qt::QueuedConnection);
    }
}

void OnWake() {
    uint64_t count = 0;
    {
        std::lock_guard lock(gMutex);
        if (gWakeFd.Valid()) {
            [[maybe_unused]] const ssize_t read = ::read(gWakeFd.Get(), &count, sizeof count);
        }
    }
    RunHandedOverCalls();
}

}  // namespace

void InstallMainThreadBridge(QObject& target, void (*reportError)()) {
    {
        std::lock_guard lock(gMutex);
        gWakeFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        gReportError = reportError;
        gTarget = &target;
        if (gWakeFd.Valid()) {
            gNotifier = new QSocketNotifier(gWakeFd.Get(), QSocketNotifier::Read, &target);
            QObject::connect(gNotifier, &QSocketNotifier::activated, &target, &OnWake);
        }
    }
    SetWakeMainThread(&Wake);
    // Calls handed over before now: run once the event loop starts.
    QMetaObject::invokeMethod(&target, &RunHandedOverCalls, Qt::QueuedConnection);
}

void RemoveMainThreadBridge() {
    SetWakeMainThread({});
    std::lock_guard lock(gMutex);
    delete gNotifier.data();  // before the counter it watches goes
    gWakeFd.Reset();
    gTarget = nullptr;
}

}  // namespace km
