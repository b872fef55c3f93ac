#pragma once

// A TCP relay between a client and a server on 127.0.0.1 that cuts
// connections at chosen byte counts: the bad line of the tests.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kmtest {

class FaultRelay {
  public:
    // Relays every connection made to Port() to upstreamPort. The k-th
    // connection (from 0) is cut, both ways at once, after cutAfter[k] bytes
    // have gone from the server to the client (-1: not cut); later
    // connections are relayed uncut, or, with cutEvery > 0, each is cut
    // after cutEvery bytes. A cut closes the client's side early, after
    // exactly that many bytes; with reset, it resets the connection instead,
    // and the client also loses what was still on its way.
    FaultRelay(int upstreamPort, std::vector<int64_t> cutAfter, int64_t cutEvery = 0,
               bool reset = false);
    ~FaultRelay();
    FaultRelay(const FaultRelay&) = delete;
    FaultRelay& operator=(const FaultRelay&) = delete;

    int Port() const { return fPort; }
    // Called (on a relay thread) just before a connection is cut, with the
    // connection's number: a test may change the server's files there.
    void OnCut(std::function<void(int connection)> onCut);
    int Connections() const { return fConnections; }
    int Cuts() const { return fCuts; }

  private:
    void Accept();
    void Relay(int client, int connection);
    int64_t CutPoint(int connection) const;

    const int fUpstreamPort;
    const std::vector<int64_t> fCutAfter;
    const int64_t fCutEvery;
    const bool fReset;
    int fListener = -1;
    int fPort = 0;
    std::atomic<bool> fStopping{false};
    std::atomic<int> fConnections{0};
    std::atomic<int> fCuts{0};
    std::mutex fMutex;
    std::function<void(int)> fOnCut;
    std::vector<std::thread> fThreads;
    std::thread fAcceptThread;
};

}  // namespace kmtest
