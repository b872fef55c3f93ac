#pragma once

// A real nginx for the tests: started on free loopback ports (HTTP and HTTPS)
// with a configuration and a self-signed certificate made at test time,
// serving a folder the test fills, and stopped when the object goes.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace kmtest {

struct TNginxOptions {
    // false: "max_ranges 0", so that the server answers every range request
    // with the whole file (200), as servers without range support do.
    bool Ranges = true;
};

class NginxServer {
  public:
    // Skips nothing itself: Available() says whether nginx could be started.
    explicit NginxServer(TNginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool Available() const { return fPid > 0; }
    // Why it could not be started.
    const std::string& Problem() const { return fProblem; }
    // The folder served at "/".
    const std::filesystem::path& Root() const { return fRoot; }
    int HttpPort() const { return fHttpPort; }
    int HttpsPort() const { return fHttpsPort; }
    // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>".
    std::string HttpBase() const;
    std::string HttpsBase() const;
    // Lines of the access log: "<status> <bytes sent> <range header>".
    std::string AccessLog() const;

  private:
    std::filesystem::path fDir;
    std::filesystem::path fRoot;
    int fHttpPort = 0;
    int fHttpsPort = 0;
    pid_t fPid = -1;
    std::string fProblem;
};

// A free TCP port on 127.0.0.1 at the time of the call.
int FreeLoopbackPort();

}  // namespace kmtest
