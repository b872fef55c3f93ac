#include "common/ui/MainThreadBridge.h"

#include <QMetaObject>

#include <mutex>

#include "common/Thread.h"
#include "common/ui/Application.h"

namespace km {
namespace {

// The hook may fire on any thread, also while the application goes away.
std::mutex gMutex;
TApplication* gTarget = nullptr;

void RunHandedOverCalls() {
    try {
        CheckSynchronize();
    } catch (...) {
        ReportCurrentException();
    }
}

void Wake() {
    std::lock_guard lock(gMutex);
    if (gTarget != nullptr) {
        QMetaObject::invokeMethod(gTarget, &RunHandedOverCalls, Qt::QueuedConnection);
    }
}

}  // namespace

void InstallMainThreadBridge(TApplication& application) {
    {
        std::lock_guard lock(gMutex);
        gTarget = &application;
    }
    SetWakeMainThread(&Wake);
    // Calls handed over before now: run once the event loop starts.
    QMetaObject::invokeMethod(&application, &RunHandedOverCalls, Qt::QueuedConnection);
}

void RemoveMainThreadBridge() {
    SetWakeMainThread({});
    std::lock_guard lock(gMutex);
    gTarget = nullptr;
}

}  // namespace km
