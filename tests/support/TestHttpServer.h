#pragma once

// An in-process HTTP or HTTPS server on 127.0.0.1 for tests: static files
// from folders plus programmable routes, on a free port.

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kmtest {

struct TTestServerOptions {
    bool https = false;
    // https: refuse every TLS version below 1.3.
    bool tls13Only = false;
    // https: present a certificate that has expired (otherwise a current,
    // self-signed one).
    bool expiredCertificate = false;
    // A fixed port (0: a free one), for programs built for one server root.
    int port = 0;
};

// A request as the server saw it, recorded before it was answered.
struct TSeenRequest {
    std::string method;
    std::string path;
    httplib::Headers headers;
    // The TLS version of the connection ("TLSv1.2", ...), empty for http.
    std::string tlsVersion;

    // The value of a request header, "" when it is absent.
    std::string Header(const std::string& name) const;
};

// Serves until it goes. Routes and folders may be added at any time, from
// any thread; routes are tried in the order they were added, before folders.
// Whatever matches nothing gets 404.
class TestHttpServer {
  public:
    using THandler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit TestHttpServer(TTestServerOptions options = {});
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    // Answers GET requests whose whole path matches pathPattern (a regular
    // expression; its groups are in request.matches).
    void Route(const std::string& pathPattern, THandler handler);
    // Serves the files below folder under mountPoint ("/" or "/a/b/") as
    // application/octet-stream; paths that leave the folder get 404.
    void ServeDirectory(const std::filesystem::path& folder, const std::string& mountPoint = "/");

    int Port() const { return fPort; }
    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string BaseUrl() const;
    // BaseUrl() + path (path starts with "/").
    std::string Url(const std::string& path) const;
    // The requests seen so far, oldest first.
    std::vector<TSeenRequest> Requests() const;
    // The server names (SNI) that TLS clients sent, one per handshake that
    // sent one.
    std::vector<std::string> ServerNames() const;

  private:
    struct TRoute;
    void Dispatch(const httplib::Request& request, httplib::Response& response);
    bool ServeFile(const std::string& path, httplib::Response& response);
    void Record(const httplib::Request& request);

    const TTestServerOptions fOptions;
    std::unique_ptr<httplib::Server> fServer;
    int fPort = 0;
    mutable std::mutex fMutex;
    std::vector<TRoute> fRoutes;
    std::vector<std::pair<std::string, std::filesystem::path>> fFolders;
    std::vector<TSeenRequest> fRequests;
    std::vector<std::string> fServerNames;
    std::atomic<bool> fListenEnded{false};
    std::thread fThread;

    friend int RecordServerName(SSL* ssl, int* alert, void* self);
};

}  // namespace kmtest
