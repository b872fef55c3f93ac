#include "support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "support/Sandbox.h"
#include "support/TestCertificate.h"

extern char** environ;

namespace kmtest {
namespace {

namespace fs = std::filesystem;

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

bool WritePem(const fs::path& certificate, const fs::path& key) {
    const TestCertificate made = TestCertificate::Current();
    const std::unique_ptr<FILE, int (*)(FILE*)> cert(std::fopen(certificate.c_str(), "w"),
                                                     &std::fclose);
    const std::unique_ptr<FILE, int (*)(FILE*)> keyFile(std::fopen(key.c_str(), "w"), &std::fclose);
    return cert && keyFile && PEM_write_X509(cert.get(), made.Certificate()) == 1 &&
           PEM_write_PrivateKey(keyFile.get(), made.Key(), nullptr, nullptr, 0, nullptr, nullptr) ==
               1;
}

std::string Configuration(const fs::path& dir, const fs::path& root, int httpPort, int httpsPort,
                          const TNginxOptions& options) {
    const std::string d = dir.string();
    std::string ranges = options.Ranges ? "" : "        max_ranges 0;\n";
    return "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d +
           "/nginx.pid;\nerror_log " + d +
           "/error.log warn;\nevents { worker_connections 64; }\nhttp {\n"
           "    log_format test '$status $body_bytes_sent \"$http_range\"';\n"
           "    access_log " +
           d +
           "/access.log test;\n"
           "    client_body_temp_path " +
           d +
           "/tmp-body;\n"
           "    proxy_temp_path " +
           d +
           "/tmp-proxy;\n"
           "    fastcgi_temp_path " +
           d +
           "/tmp-fastcgi;\n"
           "    uwsgi_temp_path " +
           d +
           "/tmp-uwsgi;\n"
           "    scgi_temp_path " +
           d +
           "/tmp-scgi;\n"
           "    default_type application/octet-stream;\n"
           "    sendfile on;\n"
           "    server {\n"
           "        listen 127.0.0.1:" +
           std::to_string(httpPort) +
           ";\n"
           "        listen 127.0.0.1:" +
           std::to_string(httpsPort) +
           " ssl;\n"
           "        ssl_certificate " +
           d +
           "/server.crt;\n"
           "        ssl_certificate_key " +
           d +
           "/server.key;\n"
           "        root " +
           root.string() + ";\n" + ranges + "    }\n}\n";
}

}  // namespace

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

NginxServer::NginxServer(TNginxOptions options) {
    char pattern[] = "/tmp/kmnginx-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        fProblem = "no folder for nginx";
        return;
    }
    fDir = pattern;
    fRoot = fDir / "www";
    fs::create_directories(fRoot);
    // nginx's worker may run as another user: it must reach the files.
    fs::permissions(fDir, fs::perms(0755));
    if (!WritePem(fDir / "server.crt", fDir / "server.key")) {
        fProblem = "no certificate";
        return;
    }
    fHttpPort = FreeLoopbackPort();
    fHttpsPort = FreeLoopbackPort();
    WriteTextFile(fDir / "nginx.conf", Configuration(fDir, fRoot, fHttpPort, fHttpsPort, options));
    const std::string binary = fs::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
    const std::string prefix = fDir.string() + "/";
    const std::string conf = (fDir / "nginx.conf").string();
    std::vector<char*> argv = {const_cast<char*>(binary.c_str()), const_cast<char*>("-p"),
                               const_cast<char*>(prefix.c_str()), const_cast<char*>("-c"),
                               const_cast<char*>(conf.c_str()),   nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        fProblem = "nginx is not installed";
        return;
    }
    fPid = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(Accepts(fHttpPort) && Accepts(fHttpsPort))) {
        int status = 0;
        if (::waitpid(fPid, &status, WNOHANG) == fPid ||
            std::chrono::steady_clock::now() > deadline) {
            fProblem = "nginx did not start: " + ReadTextFile(fDir / "error.log");
            if (::waitpid(fPid, &status, WNOHANG) == 0) {
                ::kill(fPid, SIGKILL);
                ::waitpid(fPid, &status, 0);
            }
            fPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

NginxServer::~NginxServer() {
    if (fPid > 0) {
        ::kill(fPid, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(fPid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(fPid, SIGKILL);
                ::waitpid(fPid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::error_code ec;
    if (!fDir.empty()) {
        fs::remove_all(fDir, ec);
    }
}

std::string NginxServer::HttpBase() const {
    return "http://127.0.0.1:" + std::to_string(fHttpPort);
}

std::string NginxServer::HttpsBase() const {
    return "https://127.0.0.1:" + std::to_string(fHttpsPort);
}

std::string NginxServer::AccessLog() const {
    return ReadTextFile(fDir / "access.log");
}

}  // namespace kmtest
