#pragma once

// An HTTP server on a plain socket for answers a server library will not give:
// bodies delimited by the end of the connection, bodies cut short, interim
// answers, arbitrary header bytes, stalls.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kmtest {

// Listens on 127.0.0.1 on a free port and serves one connection at a time:
// reads the request head, sends the scripted bytes unchanged and then closes
// the connection or, with TAfter::Stall, keeps it open without sending
// anything more until the server goes.
class RawHttpServer {
  public:
    enum class TAfter { Close, Stall };

    explicit RawHttpServer(std::string response, TAfter after = TAfter::Close);
    // The k-th connection (from 0) gets responses[k], later ones the last;
    // on port (0: a free one).
    explicit RawHttpServer(std::vector<std::string> responses, TAfter after = TAfter::Close,
                           int port = 0);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int Port() const { return fPort; }
    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path = "/") const;
    // The number of request heads read so far.
    int RequestCount() const { return fRequestCount; }

  private:
    void Serve();
    void ServeConnection(int connection);

    const std::vector<std::string> fResponses;
    const TAfter fAfter;
    int fListener = -1;
    int fPort = 0;
    std::atomic<int> fRequestCount{0};
    std::mutex fMutex;
    std::condition_variable fStopped;
    bool fStopping = false;
    std::thread fThread;
};

}  // namespace kmtest
