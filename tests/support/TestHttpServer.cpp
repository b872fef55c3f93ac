#include "support/TestHttpServer.h"

#include <openssl/ssl.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/TestCertificate.h"

namespace kmtest {

struct TestHttpServer::TRoute {
    std::regex pattern;
    THandler handler;
};

std::string TSeenRequest::Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found != headers.end() ? found->second : std::string();
}

int RecordServerName(SSL* ssl, int* /*alert*/, void* self) {
    if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
        auto* server = static_cast<TestHttpServer*>(self);
        std::lock_guard lock(server->fMutex);
        server->fServerNames.emplace_back(name);
    }
    return SSL_TLSEXT_ERR_OK;
}

TestHttpServer::TestHttpServer(TTestServerOptions options) : fOptions(options) {
    if (fOptions.https) {
        const TestCertificate certificate =
            fOptions.expiredCertificate ? TestCertificate::Expired() : TestCertificate::Current();
        fServer = std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
            if (SSL_CTX_use_certificate(&context, certificate.Certificate()) != 1 ||
                SSL_CTX_use_PrivateKey(&context, certificate.Key()) != 1) {
                return false;
            }
            if (fOptions.tls13Only &&
                SSL_CTX_set_min_proto_version(&context, TLS1_3_VERSION) != 1) {
                return false;
            }
            SSL_CTX_set_tlsext_servername_callback(&context, RecordServerName);
            SSL_CTX_set_tlsext_servername_arg(&context, this);
            return true;
        });
    } else {
        fServer = std::make_unique<httplib::Server>();
    }
    if (!fServer->is_valid()) {
        throw std::runtime_error("test server: cannot set up the server");
    }
    // Without it, headers and body in separate writes meet the client's
    // delayed acknowledgement on a kept-alive connection (redirect chains).
    fServer->set_tcp_nodelay(true);
    fServer->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        Record(request);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    fServer->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Dispatch(request, response);
    });
    if (fOptions.port != 0) {
        fServer->set_socket_options([](socket_t socket) {
            const int reuse = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        });
        fPort = fServer->bind_to_port("127.0.0.1", fOptions.port) ? fOptions.port : -1;
    } else {
        fPort = fServer->bind_to_any_port("127.0.0.1");
    }
    if (fPort <= 0) {
        throw std::runtime_error("test server: cannot listen on 127.0.0.1");
    }
    // The socket listens already, so clients may connect at once; but stop()
    // only ends a loop that has started, hence the wait.
    fThread = std::thread([this] {
        fServer->listen_after_bind();
        fListenEnded = true;
    });
    while (!fServer->is_running() && !fListenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TestHttpServer::~TestHttpServer() {
    fServer->stop();
    fThread.join();
}

void TestHttpServer::Route(const std::string& pathPattern, THandler handler) {
    std::lock_guard lock(fMutex);
    fRoutes.push_back(TRoute{std::regex(pathPattern), std::move(handler)});
}

void TestHttpServer::ServeDirectory(const std::filesystem::path& folder,
                                    const std::string& mountPoint) {
    std::string mount = mountPoint;
    if (mount.empty() || mount.back() != '/') {
        mount += '/';
    }
    std::lock_guard lock(fMutex);
    fFolders.emplace_back(mount, folder);
}

std::string TestHttpServer::BaseUrl() const {
    return std::string(fOptions.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(fPort);
}

std::string TestHttpServer::Url(const std::string& path) const {
    return BaseUrl() + path;
}

std::vector<TSeenRequest> TestHttpServer::Requests() const {
    std::lock_guard lock(fMutex);
    return fRequests;
}

std::vector<std::string> TestHttpServer::ServerNames() const {
    std::lock_guard lock(fMutex);
    return fServerNames;
}

void TestHttpServer::Record(const httplib::Request& request) {
    TSeenRequest seen{request.method, request.path, request.headers, {}};
    if (request.ssl != nullptr) {
        seen.tlsVersion = SSL_get_version(request.ssl);
    }
    std::lock_guard lock(fMutex);
    fRequests.push_back(std::move(seen));
}

void TestHttpServer::Dispatch(const httplib::Request& request, httplib::Response& response) {
    THandler handler;
    httplib::Request matched;
    {
        std::lock_guard lock(fMutex);
        for (const TRoute& route : fRoutes) {
            std::smatch matches;
            if (std::regex_match(request.path, matches, route.pattern)) {
                handler = route.handler;
                matched = request;
                matched.matches = matches;
                break;
            }
        }
    }
    if (handler) {
        handler(matched, response);
        return;
    }
    if (!ServeFile(request.path, response)) {
        response.status = 404;
        response.set_content("not found", "text/plain");
    }
}

bool TestHttpServer::ServeFile(const std::string& path, httplib::Response& response) {
    std::filesystem::path file;
    {
        std::lock_guard lock(fMutex);
        for (const auto& [mount, folder] : fFolders) {
            if (path.starts_with(mount)) {
                const std::filesystem::path relative(path.substr(mount.size()));
                for (const auto& part : relative) {
                    if (part == "..") {
                        return false;
                    }
                }
                file = folder / relative;
                break;
            }
        }
    }
    if (file.empty() || !std::filesystem::is_regular_file(file)) {
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    response.set_content(content.str(), "application/octet-stream");
    return true;
}

}  // namespace kmtest
