#include "support/RawHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace kmtest {

namespace {

// Closes a socket when it goes.
class TSocket {
  public:
    explicit TSocket(int fd) : fFd(fd) {}
    ~TSocket() {
        if (fFd >= 0) {
            ::close(fFd);
        }
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    int Fd() const { return fFd; }

  private:
    int fFd;
};

}  // namespace

RawHttpServer::RawHttpServer(std::string response, TAfter after)
    : RawHttpServer(std::vector<std::string>{std::move(response)}, after) {}

RawHttpServer::RawHttpServer(std::vector<std::string> responses, TAfter after, int port)
    : fResponses(std::move(responses)), fAfter(after) {
    fListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fListener < 0) {
        throw std::runtime_error("raw server: no socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int reuse = 1;
    ::setsockopt(fListener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    socklen_t length = sizeof address;
    if (::bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fListener, 8) != 0 ||
        ::getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fListener);
        throw std::runtime_error("raw server: cannot listen on 127.0.0.1");
    }
    fPort = ntohs(address.sin_port);
    fThread = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer() {
    {
        std::lock_guard lock(fMutex);
        fStopping = true;
    }
    fStopped.notify_all();
    // Wakes the thread from accept().
    ::shutdown(fListener, SHUT_RDWR);
    fThread.join();
    ::close(fListener);
}

std::string RawHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(fPort) + path;
}

void RawHttpServer::Serve() {
    for (;;) {
        const int connection = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
        {
            std::lock_guard lock(fMutex);
            if (fStopping) {
                if (connection >= 0) {
                    ::close(connection);
                }
                return;
            }
        }
        if (connection >= 0) {
            ServeConnection(connection);
        }
    }
}

void RawHttpServer::ServeConnection(int connection) {
    const TSocket socket(connection);
    timeval timeout{5, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return;
        }
        head.append(buffer, static_cast<size_t>(got));
    }
    const size_t index = static_cast<size_t>(fRequestCount++);
    const std::string& response = fResponses[std::min(index, fResponses.size() - 1)];
    size_t sent = 0;
    while (sent < response.size()) {
        const ssize_t put =
            ::send(connection, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) {
            return;
        }
        sent += static_cast<size_t>(put);
    }
    if (fAfter == TAfter::Stall) {
        std::unique_lock lock(fMutex);
        fStopped.wait(lock, [this] { return fStopping; });
    }
    // An orderly end of the stream, not a reset.
    ::shutdown(connection, SHUT_WR);
}

}  // namespace kmtest
