#include "common/thread/Thread.h"

#include <condition_variable>
#include <deque>

#include "common/base/KmException.h"

namespace km {

namespace {

std::thread::id MainThreadId() {
    static const std::thread::id id = std::this_thread::get_id();
    return id;
}

// Fixes the main thread during static initialisation, before any worker can
// exist; a static initialiser of another unit that asks earlier gets the same
// answer because it runs on the same thread.
[[maybe_unused]] const std::thread::id gMainThreadAtStart = MainThreadId();

// One call handed over to the main thread; lives on the handing-over thread's
// stack until the main thread has run it.
struct TSyncCall {
    std::function<void()> Call;
    std::exception_ptr Error;
    bool Done = false;
    std::condition_variable DoneChanged;
};

// The main thread's queue. One mutex covers the queue, the done flags of the
// calls and the finished flags of the threads, so that a waiting main thread
// cannot miss either kind of news.
struct TSyncQueue {
    std::mutex Mutex;
    std::condition_variable MainThreadNews;
    std::deque<TSyncCall*> Pending;
    std::function<void()> WakeMainThread;
};

TSyncQueue& Queue() {
    static TSyncQueue queue;
    return queue;
}

// Runs the oldest pending call with the lock released. One call at a time, so
// that a call which itself waits for the main thread (WaitFor inside a handed-over
// call) still sees the calls that came after it.
void RunOnePending(TSyncQueue& queue, std::unique_lock<std::mutex>& lock) {
    TSyncCall* item = queue.Pending.front();
    queue.Pending.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
        item->Call();
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    item->Error = error;
    item->Done = true;
    // Notified under the lock: once the caller sees Done it may leave and take
    // the item (and its condition variable) with it.
    item->DoneChanged.notify_one();
}

}  // namespace

bool IsMainThread() {
    return std::this_thread::get_id() == MainThreadId();
}

void Synchronize(std::function<void()> call) {
    if (IsMainThread()) {
        call();
        return;
    }
    TSyncQueue& queue = Queue();
    TSyncCall item;
    item.Call = std::move(call);
    std::function<void()> wake;
    {
        std::lock_guard lock(queue.Mutex);
        queue.Pending.push_back(&item);
        wake = queue.WakeMainThread;
    }
    queue.MainThreadNews.notify_all();
    if (wake) {
        wake();
    }
    std::unique_lock lock(queue.Mutex);
    item.DoneChanged.wait(lock, [&] { return item.Done; });
    if (item.Error) {
        std::rethrow_exception(item.Error);
    }
}

bool CheckSynchronize(std::chrono::milliseconds timeout) {
    KM_ASSERT_MSG(IsMainThread(), "CheckSynchronize called outside the main thread");
    TSyncQueue& queue = Queue();
    std::unique_lock lock(queue.Mutex);
    if (timeout.count() > 0) {
        queue.MainThreadNews.wait_for(lock, timeout, [&] { return !queue.Pending.empty(); });
    }
    bool ranAny = false;
    while (!queue.Pending.empty()) {
        RunOnePending(queue, lock);
        ranAny = true;
    }
    return ranAny;
}

void SetWakeMainThread(std::function<void()> hook) {
    TSyncQueue& queue = Queue();
    std::lock_guard lock(queue.Mutex);
    queue.WakeMainThread = std::move(hook);
}

void TThreadDeleter::operator()(TThread* thread) const {
    if (thread == nullptr) {
        return;
    }
    // A thread that never started has nothing to stop; asking WaitFor would
    // throw from here for one that frees itself, while an exception (the
    // refusal of such a thread in CreateThread) is already on its way out.
    if (thread->fStarted) {
        thread->Terminate();
        thread->WaitFor();
    }
    delete thread;
}

void AssertNotFreeOnTerminate(const TThread& thread) {
    KM_ASSERT_MSG(!thread.FreeOnTerminate(), "A thread with an owner must not free itself");
}

TThread::TThread() = default;

TThread::~TThread() {
    bool ownThread = false;
    {
        std::lock_guard lock(fHandleMutex);
        ownThread = !fSysThread.joinable();  // never started, or detached to free itself
    }
    if (!ownThread) {
        Terminate();
        if (IsMainThread()) {
            // Runs the pending OnTerminate, without which the worker cannot end.
            WaitFor();
        } else {
            Join();
        }
    }
}

void TThread::Terminate() {
    fTerminated = true;
}

bool TThread::Terminated() const {
    return fTerminated;
}

int TThread::ReturnValue() const {
    return fReturnValue;
}

void TThread::SetReturnValue(int value) {
    fReturnValue = value;
}

bool TThread::Finished() const {
    return fFinished;
}

bool TThread::FreeOnTerminate() const {
    return fFreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool value) {
    KM_ASSERT_MSG(!fStarted, "FreeOnTerminate changed after the thread started");
    fFreeOnTerminate = value;
}

std::exception_ptr TThread::FatalException() const {
    return fFatalException;
}

void TThread::Start() {
    KM_ASSERT_MSG(!fStarted, "Thread started twice");
    std::lock_guard lock(fHandleMutex);
    fSysThread = std::thread(&TThread::ThreadProc, this);
    fStarted = true;
}

int TThread::WaitFor() {
    if (fFreeOnTerminate) {
        throw EInternalError("Cannot wait for a thread that frees itself");
    }
    if (!fStarted) {
        return ReturnValue();
    }
    if (IsMainThread()) {
        TSyncQueue& queue = Queue();
        std::unique_lock lock(queue.Mutex);
        while (!fFinished) {
            if (!queue.Pending.empty()) {
                RunOnePending(queue, lock);
            } else {
                queue.MainThreadNews.wait(lock);
            }
        }
    }
    Join();
    return ReturnValue();
}

void TThread::Join() {
    std::lock_guard lock(fHandleMutex);
    if (fSysThread.joinable()) {
        fSysThread.join();
    }
}

void TThread::ThreadProc() {
    try {
        Execute();
    } catch (...) {
        fFatalException = std::current_exception();
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(*this); });
        } catch (...) {
            if (!fFatalException) {
                fFatalException = std::current_exception();
            }
        }
    }
    const bool freeSelf = fFreeOnTerminate;
    if (freeSelf) {
        // Start holds the mutex until fSysThread is assigned.
        std::lock_guard lock(fHandleMutex);
        fSysThread.detach();
    }
    TSyncQueue& queue = Queue();
    {
        std::lock_guard lock(queue.Mutex);
        fFinished = true;
    }
    queue.MainThreadNews.notify_all();
    if (freeSelf) {
        delete this;
    }
}

}  // namespace km
