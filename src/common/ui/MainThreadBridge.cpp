#include "common/ui/MainThreadBridge.h"

#include <QMetaObject>
#include <QObject>

#include <mutex>

#include "common/thread/Thread.h"

namespace km {
namespace {

// The hook may fire on any thread, also while the application goes away.
std::mutex gMutex;
QObject* gTarget = nullptr;
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
    if (gTarget != nullptr) {
        QMetaObject::invokeMethod(gTarget, &RunHandedOverCalls, Qt::QueuedConnection);
    }
}

}  // namespace

void InstallMainThreadBridge(QObject& target, void (*reportError)()) {
    {
        std::lock_guard lock(gMutex);
        gTarget = &target;
        gReportError = reportError;
    }
    SetWakeMainThread(&Wake);
    // Calls handed over before now: run once the event loop starts.
    QMetaObject::invokeMethod(&target, &RunHandedOverCalls, Qt::QueuedConnection);
}

void RemoveMainThreadBridge() {
    SetWakeMainThread({});
    std::lock_guard lock(gMutex);
    gTarget = nullptr;
}

}  // namespace km
