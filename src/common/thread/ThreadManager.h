#pragma once

// A registry of named worker threads. The manager tells running threads from
// ended ones, hands out their results once they have ended, stops them, waits
// for them and frees them; it owns every thread registered with it.
//
// Everything here runs on the main thread (assertion failure otherwise): the
// workers are constructed there (construction registers them), their end is
// handed over to it, and the manager has no lock. Worker threads never touch
// the manager.

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/thread/Thread.h"

namespace km {

class TThreadManager;

// A worker registered under an id. A concrete worker derives from it, supplies
// Execute and is made with CreateManagedThread.
class TManagedThread : public TThread {
  public:
    // Main thread. Registers the thread under threadId in threadManager (not
    // owned; must outlive the thread); throws EInternalError "Thread already
    // running" when the id is running already. Does not start the thread.
    TManagedThread(std::string threadId, TThreadManager* threadManager);
    // Removes a registration that no owner ever took over (a derived
    // constructor that raised).
    ~TManagedThread() override;

    const std::string& ThreadId() const { return fThreadId; }

    // A free-form result text. Written by the worker; read on the main thread
    // once the manager no longer reports the thread running.
    const std::string& CustomReturnValue() const { return FCustomReturnValue; }
    void SetCustomReturnValue(std::string value) { FCustomReturnValue = std::move(value); }

  private:
    friend class TThreadManager;
    template <class T, class... Args>
    friend T* CreateManagedThread(Args&&... args);

    // The OnTerminate handler: moves the thread to the ended threads.
    void ThreadTerminated(TThread& sender);
    // Starts a constructed thread and hands it to its manager.
    static void StartOwned(std::unique_ptr<TManagedThread> thread);

    std::string fThreadId;
    TThreadManager* fThreadManager;  // null once the manager has let go of the thread
    std::string FCustomReturnValue;
};

// Main thread. Constructs a T (derived from TManagedThread) with args — T's
// constructor registers it — then hands ownership to its manager and starts
// its thread once the whole construction has completed. Returns a non-owning
// pointer, valid until the manager frees the thread. If T's constructor
// throws, nothing stays registered; if the system thread cannot be made,
// std::system_error passes and nothing stays registered either.
template <class T, class... Args>
T* CreateManagedThread(Args&&... args) {
    static_assert(std::is_base_of_v<TManagedThread, T>);
    auto thread = std::make_unique<T>(std::forward<Args>(args)...);
    T* result = thread.get();
    TManagedThread::StartOwned(std::move(thread));
    return result;
}

class TThreadManager {
  public:
    TThreadManager();
    // StopAll(true), then frees whatever is left.
    ~TThreadManager();

    TThreadManager(const TThreadManager&) = delete;
    TThreadManager& operator=(const TThreadManager&) = delete;

    // Terminates the running thread with this id (nothing when there is none);
    // with bWaitFor waits for it (running handed-over calls) and frees it.
    // Without, the thread moves to the ended threads when it ends.
    void Stop(const std::string& threadId, bool bWaitFor);
    // Terminates every running thread; with bWaitFor waits for each that was
    // running when the call began, in registration order, then frees every
    // ended thread.
    void StopAll(bool bWaitFor);

    // Whether a thread with this id is registered and its end not yet handled.
    bool IsRunning(const std::string& threadId) const;
    // An ended thread with this id, else a running one, else null.
    TManagedThread* GetThread(const std::string& threadId) const;
    // GetThread's ReturnValue; throws EInternalError "Thread not found: " + id.
    int GetThreadResult(const std::string& threadId) const;
    // GetThread's CustomReturnValue; throws as GetThreadResult.
    std::string GetCustomThreadResult(const std::string& threadId) const;

    // Appends (threadId, thread) to the running threads; throws EInternalError
    // "Thread already running" when the id is running. Ids compare without
    // regard to letter case. The entry owns nothing until CreateManagedThread
    // hands the thread over.
    void RegisterThread(const std::string& threadId, TManagedThread* thread);
    // Moves a thread from the running to the ended threads. thread must be a
    // TManagedThread of this manager (assertion otherwise); one that has ended
    // already stays where it is.
    void MoveToTerminated(TThread* thread);
    TManagedThread* FindRunningThread(const std::string& threadId) const;
    TManagedThread* FindTerminatedThread(const std::string& threadId) const;
    // Removes the thread from the manager and frees it (stopping and waiting
    // for it first if it still runs). Null does nothing; a thread this manager
    // does not own fails an assertion.
    void FreeTerminatedThread(TManagedThread* thread);
    // Frees every ended thread, in the order they ended.
    void FreeAllTerminated();

  private:
    friend class TManagedThread;

    struct TEntry {
        std::string Id;
        TManagedThread* Thread = nullptr;
        TThreadPtr<TManagedThread> Owner;  // null while the thread is being constructed
    };
    using TEntryList = std::vector<TEntry>;

    static TEntryList::iterator FindId(TEntryList& list, const std::string& threadId);
    static TEntryList::const_iterator FindId(const TEntryList& list, const std::string& threadId);
    static TEntryList::iterator FindThread(TEntryList& list, const TManagedThread* thread);
    static void AssertMainThread();

    // Takes over a thread registered by its constructor.
    void Adopt(std::unique_ptr<TManagedThread> thread);
    // Drops the registration of a thread that was never handed over.
    void Unregister(TManagedThread* thread);
    // Detaches the thread from the manager and deletes it.
    static void Free(TEntry entry);

    TEntryList fRunningThreads;
    TEntryList fTerminatedThreads;
};

}  // namespace km
