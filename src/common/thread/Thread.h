#pragma once

// A system thread whose body a derived class supplies, and the main thread's
// queue of calls that other threads hand over to it.
//
// The main thread is the thread that ran static initialisation (and so main).
// Only it runs handed-over calls: in CheckSynchronize, which an event loop
// calls after the wake-up hook has fired, and in WaitFor. A worker's
// OnTerminate is such a call, so a worker counts as finished only once the
// main thread has come round to it.

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace km {

class TThread;

// Stops a started thread and waits for it before it is deleted, so that
// Execute never runs on an object whose derived part is already gone. A
// thread that was never started is deleted at once, so the deleter does not
// throw while CreateThread refuses one.
struct TThreadDeleter {
    void operator()(TThread* thread) const;
};

// The owner of a started thread.
template <class T>
using TThreadPtr = std::unique_ptr<T, TThreadDeleter>;

class TThread {
  public:
    // Sets Terminated and waits for a started system thread (without running
    // Execute again). Deleting a running thread this way is only safe when the
    // derived part's destructor does not pull anything from under Execute;
    // owners use TThreadPtr, which waits before any destructor runs.
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Any thread. Sets the flag and returns at once; Execute polls it.
    void Terminate();
    // Any thread.
    bool Terminated() const;

    // The integer result, 0 until the worker sets it; what WaitFor returns.
    // Any thread; final once Finished() is true.
    int ReturnValue() const;
    void SetReturnValue(int value);

    // Blocks until the system thread has ended and returns ReturnValue. On the
    // main thread it keeps running handed-over calls (OnTerminate handlers among
    // them) while it waits; on any other thread it only waits. No time limit.
    // Returns at once for a thread that was never started. Throws
    // EInternalError for a thread that frees itself (FreeOnTerminate).
    int WaitFor();

    // Any thread. True once Execute has ended and OnTerminate has run.
    bool Finished() const;

    // When true the object deletes itself on its own thread after OnTerminate;
    // nobody may touch it after Start. Set only before Start (assertion
    // otherwise); the object must then have been made with new.
    bool FreeOnTerminate() const;
    void SetFreeOnTerminate(bool value);

    // Run on the main thread after Execute has returned or raised; the worker
    // waits for it before it ends. Set before Start. It must not wait for or
    // free its own thread, which cannot end before it returns. An exception
    // escaping it is stored as the fatal exception unless Execute already left
    // one.
    std::function<void(TThread& sender)> OnTerminate;

    // The exception that escaped Execute, or null. Read it in OnTerminate or
    // once Finished() is true.
    std::exception_ptr FatalException() const;

  protected:
    // Does not start the system thread.
    TThread();

    // The body, run on the new thread.
    virtual void Execute() = 0;

    // Starts the system thread. Call once, after construction has completed
    // (CreateThread and CreateManagedThread do); assertion failure on a second
    // call. Throws std::system_error when no thread can be made.
    void Start();

  private:
    void ThreadProc();
    void Join();

    template <class T, class... Args>
    friend TThreadPtr<T> CreateThread(Args&&... args);
    friend struct TThreadDeleter;
    friend class TManagedThread;

    std::mutex fHandleMutex;  // guards fSysThread between Start, the worker, Join
    std::thread fSysThread;
    std::atomic<bool> fStarted{false};
    std::atomic<bool> fTerminated{false};
    std::atomic<bool> fFinished{false};
    std::atomic<bool> fFreeOnTerminate{false};
    std::atomic<int> fReturnValue{0};
    // Written by the worker before the OnTerminate hand-over, which orders it
    // before every permitted read.
    std::exception_ptr fFatalException;
};

// Assertion failure when thread frees itself and so cannot have an owner.
void AssertNotFreeOnTerminate(const TThread& thread);

// Constructs a T (derived from TThread) and starts it once the whole
// construction has completed. T must not set FreeOnTerminate (assertion).
template <class T, class... Args>
TThreadPtr<T> CreateThread(Args&&... args) {
    static_assert(std::is_base_of_v<TThread, T>);
    TThreadPtr<T> thread(new T(std::forward<Args>(args)...));
    AssertNotFreeOnTerminate(*thread);
    static_cast<TThread&>(*thread).Start();
    return thread;
}

// Any thread: runs call on the main thread and waits until it has run;
// rethrows what call raised. On the main thread itself call runs at once.
void Synchronize(std::function<void()> call);

// Main thread only (assertion otherwise): waits up to timeout for a handed-over
// call, then runs every pending call in the order they came. True if any ran.
bool CheckSynchronize(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// Any thread: sets the function that is called (on the handing-over thread)
// whenever a call is handed over, so that an event loop can wake up and call
// CheckSynchronize. An empty function removes the hook; a hand-over already
// under way may still call the hook it found, so whatever the hook refers to
// must outlive the worker threads.
void SetWakeMainThread(std::function<void()> hook);

// Whether the calling thread is the main thread.
bool IsMainThread();

}  // namespace km
