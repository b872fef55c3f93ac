#include "support/FaultRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kmtest {
namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Closes with a reset rather than an orderly end: what a dropped line looks
// like to the client.
void Reset(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

}  // namespace

FaultRelay::FaultRelay(int upstreamPort, std::vector<int64_t> cutAfter, int64_t cutEvery,
                       bool reset)
    : fUpstreamPort(upstreamPort),
      fCutAfter(std::move(cutAfter)),
      fCutEvery(cutEvery),
      fReset(reset) {
    fListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fListener < 0 ||
        ::bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fListener, 16) != 0 ||
        ::getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    fPort = ntohs(address.sin_port);
    fAcceptThread = std::thread([this] { Accept(); });
}

FaultRelay::~FaultRelay() {
    fStopping = true;
    if (fListener >= 0) {
        ::shutdown(fListener, SHUT_RDWR);
    }
    if (fAcceptThread.joinable()) {
        fAcceptThread.join();
    }
    for (std::thread& thread : fThreads) {
        thread.join();
    }
    if (fListener >= 0) {
        ::close(fListener);
    }
}

void FaultRelay::OnCut(std::function<void(int connection)> onCut) {
    const std::lock_guard lock(fMutex);
    fOnCut = std::move(onCut);
}

int64_t FaultRelay::CutPoint(int connection) const {
    if (static_cast<size_t>(connection) < fCutAfter.size()) {
        return fCutAfter[static_cast<size_t>(connection)];
    }
    return fCutEvery > 0 ? fCutEvery : -1;
}

void FaultRelay::Accept() {
    while (!fStopping) {
        pollfd waiting{fListener, POLLIN, 0};
        if (::poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        const int client = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const int connection = fConnections++;
        fThreads.emplace_back([this, client, connection] { Relay(client, connection); });
    }
}

void FaultRelay::Relay(int client, int connection) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(fUpstreamPort);
    if (server < 0 ||
        ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (server >= 0) {
            ::close(server);
        }
        ::close(client);
        return;
    }
    const int64_t cutPoint = CutPoint(connection);
    int64_t toClient = 0;
    char buffer[64 * 1024];
    bool open = true;
    while (open && !fStopping) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2 && open; ++i) {
            if ((ends[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const int from = ends[i].fd;
            const int to = i == 0 ? server : client;
            size_t want = sizeof buffer;
            if (i == 1 && cutPoint >= 0) {
                want = static_cast<size_t>(
                    std::min<int64_t>(static_cast<int64_t>(want), cutPoint - toClient));
            }
            const ssize_t n = ::recv(from, buffer, want, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t sent =
                    ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
                if (sent <= 0) {
                    open = false;
                    break;
                }
                done += sent;
            }
            if (i == 1) {
                toClient += n;
                if (cutPoint >= 0 && toClient >= cutPoint) {
                    std::function<void(int)> onCut;
                    {
                        const std::lock_guard lock(fMutex);
                        onCut = fOnCut;
                    }
                    if (onCut) {
                        onCut(connection);
                    }
                    ++fCuts;
                    if (fReset) {
                        Reset(client);
                    } else {
                        ::shutdown(client, SHUT_RDWR);
                        ::close(client);
                    }
                    Reset(server);
                    return;
                }
            }
        }
    }
    ::close(client);
    ::close(server);
}

}  // namespace kmtest
