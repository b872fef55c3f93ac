#include "common/thread/ThreadManager.h"

#include <algorithm>

#include "common/base/KmException.h"
#include "common/base/TextUtil.h"

namespace km {

TManagedThread::TManagedThread(std::string threadId, TThreadManager* threadManager)
    : fThreadId(std::move(threadId)), fThreadManager(threadManager) {
    KM_ASSERT_MSG(fThreadManager != nullptr, "TManagedThread without a thread manager");
    fThreadManager->RegisterThread(fThreadId, this);
    SetFreeOnTerminate(false);
    OnTerminate = [this](TThread& sender) { ThreadTerminated(sender); };
}

TManagedThread::~TManagedThread() {
    if (fThreadManager != nullptr) {
        fThreadManager->Unregister(this);
    }
}

void TManagedThread::ThreadTerminated(TThread& sender) {
    // The manager lets go of a thread before it frees it; a thread freed while
    // still running has nowhere to move to.
    if (fThreadManager != nullptr) {
        fThreadManager->MoveToTerminated(&sender);
    }
}

void TManagedThread::StartOwned(std::unique_ptr<TManagedThread> thread) {
    // A failure before Adopt leaves the thread with this function's owner,
    // whose destructor removes the registration.
    AssertNotFreeOnTerminate(*thread);
    thread->Start();
    TThreadManager* manager = thread->fThreadManager;
    manager->Adopt(std::move(thread));
}

TThreadManager::TThreadManager() = default;

TThreadManager::~TThreadManager() {
    StopAll(true);
    // Left over: threads whose OnTerminate was replaced and so never moved, or
    // registrations whose constructor has not finished. Let go of them before
    // the lists go so that no thread calls back into a dead manager.
    for (TEntryList* list : {&fRunningThreads, &fTerminatedThreads}) {
        TEntryList rest = std::move(*list);
        list->clear();
        for (TEntry& entry : rest) {
            Free(std::move(entry));
        }
    }
}

void TThreadManager::AssertMainThread() {
    KM_ASSERT_MSG(IsMainThread(), "Thread manager used outside the main thread");
}

TThreadManager::TEntryList::iterator TThreadManager::FindId(TEntryList& list,
                                                            const std::string& threadId) {
    return std::find_if(list.begin(), list.end(),
                        [&](const TEntry& entry) { return SameText(entry.Id, threadId); });
}

TThreadManager::TEntryList::const_iterator TThreadManager::FindId(const TEntryList& list,
                                                                  const std::string& threadId) {
    return std::find_if(list.begin(), list.end(),
                        [&](const TEntry& entry) { return SameText(entry.Id, threadId); });
}

TThreadManager::TEntryList::iterator TThreadManager::FindThread(TEntryList& list,
                                                                const TManagedThread* thread) {
    return std::find_if(list.begin(), list.end(),
                        [&](const TEntry& entry) { return entry.Thread == thread; });
}

void TThreadManager::Stop(const std::string& threadId, bool bWaitFor) {
    AssertMainThread();
    TManagedThread* thread = FindRunningThread(threadId);
    if (thread == nullptr) {
        return;
    }
    thread->Terminate();
    if (bWaitFor) {
        thread->WaitFor();
        FreeTerminatedThread(thread);
    }
}

void TThreadManager::StopAll(bool bWaitFor) {
    AssertMainThread();
    std::vector<TManagedThread*> running;
    for (const TEntry& entry : fRunningThreads) {
        running.push_back(entry.Thread);
    }
    for (TManagedThread* thread : running) {
        thread->Terminate();
    }
    if (!bWaitFor) {
        return;
    }
    for (TManagedThread* thread : running) {
        // A handed-over call run during an earlier wait may have freed it.
        if (FindThread(fRunningThreads, thread) != fRunningThreads.end() ||
            FindThread(fTerminatedThreads, thread) != fTerminatedThreads.end()) {
            thread->WaitFor();
        }
    }
    FreeAllTerminated();
}

bool TThreadManager::IsRunning(const std::string& threadId) const {
    return FindRunningThread(threadId) != nullptr;
}

TManagedThread* TThreadManager::GetThread(const std::string& threadId) const {
    TManagedThread* thread = FindTerminatedThread(threadId);
    return thread != nullptr ? thread : FindRunningThread(threadId);
}

int TThreadManager::GetThreadResult(const std::string& threadId) const {
    const TManagedThread* thread = GetThread(threadId);
    if (thread == nullptr) {
        throw EInternalError("Thread not found: " + threadId);
    }
    return thread->ReturnValue();
}

std::string TThreadManager::GetCustomThreadResult(const std::string& threadId) const {
    const TManagedThread* thread = GetThread(threadId);
    if (thread == nullptr) {
        throw EInternalError("Thread not found: " + threadId);
    }
    return thread->CustomReturnValue();
}

void TThreadManager::RegisterThread(const std::string& threadId, TManagedThread* thread) {
    AssertMainThread();
    KM_ASSERT_MSG(thread != nullptr, "RegisterThread without a thread");
    if (FindId(fRunningThreads, threadId) != fRunningThreads.end()) {
        throw EInternalError("Thread already running");
    }
    fRunningThreads.push_back(TEntry{threadId, thread, nullptr});
}

void TThreadManager::MoveToTerminated(TThread* thread) {
    AssertMainThread();
    auto* managed = dynamic_cast<TManagedThread*>(thread);
    KM_ASSERT_MSG(managed != nullptr, "MoveToTerminated: not a TManagedThread");
    const auto running = FindThread(fRunningThreads, managed);
    if (running == fRunningThreads.end()) {
        // Appending a second entry for an ended thread would free it twice.
        KM_ASSERT_MSG(FindThread(fTerminatedThreads, managed) != fTerminatedThreads.end(),
                      "MoveToTerminated: thread not registered in this manager");
        return;
    }
    TEntry entry = std::move(*running);
    fRunningThreads.erase(running);
    entry.Id = managed->ThreadId();
    fTerminatedThreads.push_back(std::move(entry));
}

TManagedThread* TThreadManager::FindRunningThread(const std::string& threadId) const {
    AssertMainThread();
    const auto it = FindId(fRunningThreads, threadId);
    return it != fRunningThreads.end() ? it->Thread : nullptr;
}

TManagedThread* TThreadManager::FindTerminatedThread(const std::string& threadId) const {
    AssertMainThread();
    const auto it = FindId(fTerminatedThreads, threadId);
    return it != fTerminatedThreads.end() ? it->Thread : nullptr;
}

void TThreadManager::FreeTerminatedThread(TManagedThread* thread) {
    AssertMainThread();
    if (thread == nullptr) {
        return;
    }
    // The entry goes before the thread does, so that no list ever points at a
    // freed thread; a thread still running is looked for too for that reason.
    for (TEntryList* list : {&fTerminatedThreads, &fRunningThreads}) {
        const auto it = FindThread(*list, thread);
        if (it != list->end()) {
            TEntry entry = std::move(*it);
            list->erase(it);
            Free(std::move(entry));
            return;
        }
    }
    KM_ASSERT_MSG(false, "FreeTerminatedThread: thread not owned by this manager");
}

void TThreadManager::FreeAllTerminated() {
    AssertMainThread();
    // Freeing waits, and waiting runs handed-over calls that may move further
    // threads here; they are freed in the next round.
    while (!fTerminatedThreads.empty()) {
        TEntryList batch = std::move(fTerminatedThreads);
        fTerminatedThreads.clear();
        for (TEntry& entry : batch) {
            Free(std::move(entry));
        }
    }
}

void TThreadManager::Adopt(std::unique_ptr<TManagedThread> thread) {
    TThreadPtr<TManagedThread> owner(thread.release());
    const auto it = FindThread(fRunningThreads, owner.get());
    if (it == fRunningThreads.end() || it->Owner != nullptr) {
        owner->fThreadManager = nullptr;
        KM_ASSERT_MSG(false, "CreateManagedThread: registration lost during construction");
    }
    it->Owner = std::move(owner);
}

void TThreadManager::Unregister(TManagedThread* thread) {
    AssertMainThread();
    const auto it = FindThread(fRunningThreads, thread);
    if (it != fRunningThreads.end() && it->Owner == nullptr) {
        fRunningThreads.erase(it);
    }
}

void TThreadManager::Free(TEntry entry) {
    entry.Thread->fThreadManager = nullptr;
    entry.Owner.reset();
}

}  // namespace km
