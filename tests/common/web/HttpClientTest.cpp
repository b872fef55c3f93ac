#include "common/web/HttpClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "common/base/KmException.h"
#include "common/web/KmWeb.h"
#include "support/RawHttpServer.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

using namespace std::string_literals;
using kmtest::RawHttpServer;
using kmtest::TestHttpServer;

// Bytes that differ from block to block, so that a block written twice or
// out of order shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 1000) & 0xFF);
    }
    return bytes;
}

// What one request left behind.
struct TOutcome {
    std::string body;  // what reached the target
    int curlCode = 0;  // 0: the request succeeded
    int status = 0;
    std::string message;
    std::vector<int64_t> counts;  // the progress callback's counts
};

TOutcome Fetch(const std::string& url, km::THttpConfigPtr config = nullptr) {
    TOutcome outcome;
    std::ostringstream target;
    try {
        km::HttpGetToStream(url, &target, std::move(config),
                            [&](void* sender, km::TWorkMode mode, int64_t count) {
                                EXPECT_NE(sender, nullptr);
                                EXPECT_EQ(mode, km::TWorkMode::wmRead);
                                outcome.counts.push_back(count);
                            });
    } catch (const km::EHttpError& e) {
        outcome.curlCode = e.CurlCode();
        outcome.status = e.StatusCode();
        outcome.message = e.what();
        EXPECT_NE(outcome.curlCode, 0) << outcome.message;
    }
    outcome.body = target.str();
    return outcome;
}

// A port on 127.0.0.1 that refuses connections for as long as the object
// lives: bound, but not listening.
class RefusingPort {
  public:
    RefusingPort() : fSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::getsockname(fSocket, reinterpret_cast<sockaddr*>(&address), &length), 0);
        fPort = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(fSocket); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int Port() const { return fPort; }

  private:
    int fSocket;
    int fPort = 0;
};

const std::string kBig = Pattern(200 * 1024 + 123);
// Text a server would gladly compress if the client asked for it.
const std::string kText = [] {
    std::string text;
    while (text.size() < 100 * 1024) {
        text += "Die Konfiguration wurde aktualisiert. ";
    }
    return text;
}();

void AddRoutes(TestHttpServer& server) {
    using httplib::Request;
    using httplib::Response;
    server.Route("/body", [](const Request&, Response& res) { res.set_content("hello", "a/b"); });
    server.Route("/empty", [](const Request&, Response& res) { res.set_content("", "a/b"); });
    server.Route("/big", [](const Request&, Response& res) { res.set_content(kBig, "a/b"); });
    server.Route("/text",
                 [](const Request&, Response& res) { res.set_content(kText, "text/plain"); });
    server.Route("/chunked", [](const Request&, Response& res) {
        res.set_chunked_content_provider("a/b", [](size_t, httplib::DataSink& sink) {
            sink.write("one,", 4);
            sink.write("two,", 4);
            sink.write("three", 5);
            sink.done();
            return true;
        });
    });
    server.Route("/status/(\\d+)", [](const Request& req, Response& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_content("error page", "text/html");
    });
    server.Route("/r/(\\d+)", [](const Request& req, Response& res) {
        const int left = std::stoi(req.matches[1]);
        if (left == 0) {
            res.set_content("end of chain", "a/b");
            return;
        }
        res.set_content("redirect body", "text/html");
        res.set_redirect("/r/" + std::to_string(left - 1));
    });
}

TEST(HttpClient, BodiesAndStatuses) {
    TestHttpServer server;
    AddRoutes(server);
    struct TCase {
        const char* name;
        std::string path;  // on the test server, or
        std::string raw;   // the raw bytes a raw server answers with
        std::string body;
        int curlCode;
        int status;
        std::string message;  // a part of the error message
    };
    const std::vector<TCase> cases = {
        {"content length", "/body", "", "hello", 0, 0, ""},
        {"empty body", "/empty", "", "", 0, 0, ""},
        {"chunked", "/chunked", "", "one,two,three", 0, 0, ""},
        {"large body", "/big", "", kBig, 0, 0, ""},
        {"compressible text", "/text", "", kText, 0, 0, ""},
        {"14 redirects", "/r/14", "", "end of chain", 0, 0, ""},
        {"15 redirects", "/r/15", "", "", 47, 0, "Maximum (14) redirects followed"},
        {"404 with body", "/status/404", "", "", 22, 404, "HTTP/1.1 404 Not Found"},
        {"500", "/status/500", "", "", 22, 500, "HTTP/1.1 500 Internal Server Error"},
        {"401 without credentials", "/status/401", "", "", 22, 401, "401"},
        {"302 without location", "/status/302", "", "", 22, 302, "HTTP/1.1 302 Found"},
        {"304", "/status/304", "", "", 22, 304, "304"},
        {"body until close", "", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nto the end",
         "to the end", 0, 0, ""},
        {"body cut short", "", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this",
         "only this", 18, 0, "transfer closed with 91 bytes remaining"},
        {"interim answers", "",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         "ok", 0, 0, ""},
        {"coded body kept as received", "",
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n"
         "\x1f\x8b\x08\x00"s,
         "\x1f\x8b\x08\x00"s, 0, 0, ""},
        {"status without reason", "", "HTTP/1.1 503\r\nContent-Length: 3\r\n\r\nbye", "", 22, 503,
         "HTTP/1.1 503"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<RawHttpServer> raw;
        std::string url = server.Url(c.path);
        if (!c.raw.empty()) {
            raw.emplace(c.raw);
            url = raw->Url();
        }
        const TOutcome outcome = Fetch(url);
        EXPECT_EQ(outcome.body.size(), c.body.size());
        EXPECT_TRUE(outcome.body == c.body);
        EXPECT_EQ(outcome.curlCode, c.curlCode) << outcome.message;
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.message.find(c.message), std::string::npos) << outcome.message;
        if (c.curlCode == 0) {
            // Running counts of the body's bytes, in blocks of at most 32 KiB.
            int64_t last = 0;
            for (const int64_t count : outcome.counts) {
                EXPECT_GE(count, last);
                EXPECT_LE(count - last, 32 * 1024);
                last = count;
            }
            EXPECT_EQ(last, static_cast<int64_t>(c.body.size()));
        }
    }
    // No compression was asked for (the server would have sent gzip).
    for (const kmtest::TSeenRequest& request : server.Requests()) {
        EXPECT_EQ(request.Header("Accept-Encoding"), "identity");
    }
}

TEST(HttpClient, RedirectsNotFollowedAreErrors) {
    TestHttpServer server;
    AddRoutes(server);
    auto config = std::make_unique<km::THttpConfig>();
    config->HandleRedirects = false;
    const TOutcome outcome = Fetch(server.Url("/r/1"), std::move(config));
    EXPECT_EQ(outcome.status, 302);
    EXPECT_EQ(outcome.body, "");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpClient, TlsSettings) {
    struct TCase {
        const char* name;
        kmtest::TTestServerOptions server;
        std::function<void(km::THttpConfig&)> configure;
        int curlCode;
    };
    const std::vector<TCase> cases = {
        {"self-signed certificate", {.https = true}, nullptr, 0},
        {"expired certificate", {.https = true, .expiredCertificate = true}, nullptr, 0},
        {"server with TLS 1.3 only", {.https = true, .tls13Only = true}, nullptr, 35},
        {"no TLS layer", {.https = true}, [](km::THttpConfig& c) { c.UseSsl = false; }, 1},
        {"no TLS version allowed",
         {.https = true},
         [](km::THttpConfig& c) { c.SslVersions.clear(); },
         43},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestHttpServer server(c.server);
        AddRoutes(server);
        auto config = std::make_unique<km::THttpConfig>();
        if (c.configure) {
            c.configure(*config);
        }
        const TOutcome outcome = Fetch(server.Url("/body"), std::move(config));
        EXPECT_EQ(outcome.curlCode, c.curlCode) << outcome.message;
        if (c.curlCode == 0) {
            EXPECT_EQ(outcome.body, "hello");
            ASSERT_EQ(server.Requests().size(), 1u);
            EXPECT_EQ(server.Requests()[0].tlsVersion, "TLSv1.2");
        } else {
            EXPECT_TRUE(server.Requests().empty());
        }
    }
}

TEST(HttpClient, RedirectFromHttpToHttpsUsesTls12) {
    TestHttpServer secure({.https = true});
    AddRoutes(secure);
    TestHttpServer plain;
    plain.Route("/moved", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(secure.Url("/body"));
    });
    const TOutcome outcome = Fetch(plain.Url("/moved"));
    EXPECT_EQ(outcome.curlCode, 0) << outcome.message;
    EXPECT_EQ(outcome.body, "hello");
    ASSERT_EQ(secure.Requests().size(), 1u);
    EXPECT_EQ(secure.Requests()[0].tlsVersion, "TLSv1.2");
}

TEST(HttpClient, SendsServerNameForHostNames) {
    TestHttpServer server({.https = true});
    AddRoutes(server);
    // "localhost" is the loopback name; the server listens on 127.0.0.1.
    const TOutcome outcome = Fetch("https://localhost:" + std::to_string(server.Port()) + "/body");
    EXPECT_EQ(outcome.body, "hello") << outcome.message;
    EXPECT_EQ(server.ServerNames(), std::vector<std::string>{"localhost"});
}

TEST(HttpClient, IgnoresProxyEnvironment) {
    const RefusingPort deadProxy;
    const std::string proxy = "http://127.0.0.1:" + std::to_string(deadProxy.Port());
    std::vector<std::unique_ptr<kmtest::ScopedEnv>> environment;
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
        environment.push_back(std::make_unique<kmtest::ScopedEnv>(name, proxy));
    }
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        environment.push_back(std::make_unique<kmtest::ScopedEnv>(name, std::nullopt));
    }
    for (const bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        TestHttpServer server({.https = https});
        AddRoutes(server);
        const TOutcome outcome = Fetch(server.Url("/body"));
        EXPECT_EQ(outcome.curlCode, 0) << outcome.message;
        EXPECT_EQ(outcome.body, "hello");
    }
}

TEST(HttpClient, PreemptiveBasicAuthentication) {
    struct TCase {
        std::string user;
        std::string password;
        std::string authorization;
    };
    const std::vector<TCase> cases = {
        {"", "secret", ""},
        {"anna", "secret", "Basic YW5uYTpzZWNyZXQ="},
        {"anna", "", "Basic YW5uYTo="},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.user + ":" + c.password);
        TestHttpServer server;
        AddRoutes(server);
        auto config = std::make_unique<km::THttpConfig>();
        config->AuthenticationUsername = c.user;
        config->AuthenticationPassword = c.password;
        EXPECT_EQ(Fetch(server.Url("/body"), std::move(config)).body, "hello");
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].Header("Authorization"), c.authorization);
    }
}

// A stop request (as the update worker's Terminated flag) ends a stalled
// transfer through the progress callback: before the answer and in the middle
// of a body. Without the callback's chance during the stall the request
// would end with the stall time-out instead.
TEST(HttpClient, StopEndsStalledTransfer) {
    const std::vector<std::string> answers = {
        "",
        "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nfirst 16 bytes..",
    };
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer.empty() ? "no answer" : "body stalls");
        RawHttpServer server(answer, RawHttpServer::TAfter::Stall);
        std::atomic<bool> terminated{false};
        std::vector<int64_t> counts;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            terminated = true;
        });
        std::ostringstream target;
        EXPECT_THROW(km::HttpGetToStream(server.Url(), &target, nullptr,
                                         [&](void*, km::TWorkMode, int64_t count) {
                                             counts.push_back(count);
                                             if (terminated) {
                                                 throw km::EAbort();
                                             }
                                         }),
                     km::EAbort);
        stopper.join();
        const int64_t received = answer.empty() ? 0 : 16;
        EXPECT_EQ(target.str().size(), static_cast<size_t>(received));
        ASSERT_GE(counts.size(), 2u);
        EXPECT_EQ(counts.back(), received);
    }
}

TEST(HttpClient, StallTimeOutEndsTransfer) {
    RawHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome",
                         RawHttpServer::TAfter::Stall);
    auto config = std::make_unique<km::THttpConfig>();
    config->StallTimeout = std::chrono::seconds(1);
    const TOutcome outcome = Fetch(server.Url(), std::move(config));
    EXPECT_EQ(outcome.curlCode, 28) << outcome.message;
}

TEST(HttpClient, ConnectionRefused) {
    const RefusingPort port;
    const TOutcome outcome = Fetch("http://127.0.0.1:" + std::to_string(port.Port()) + "/");
    EXPECT_EQ(outcome.curlCode, 7) << outcome.message;
    EXPECT_EQ(outcome.status, 0);
}

TEST(HttpClient, CallbackGetsTheClientAsSender) {
    TestHttpServer server;
    AddRoutes(server);
    const km::THttpConfig config;
    void* seen = nullptr;
    const auto client =
        km::CreateHttpClient(&config, [&](void* sender, km::TWorkMode, int64_t) { seen = sender; });
    std::ostringstream target;
    client->Get(server.Url("/body"), target);
    EXPECT_EQ(seen, client.get());
}

}  // namespace
