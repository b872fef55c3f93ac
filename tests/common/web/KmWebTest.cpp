#include "common/web/KmWeb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "common/base/KmException.h"
#include "support/RawHttpServer.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::ReadTextFile;
using kmtest::WriteTextFile;

// An exception type of no family of ours: it must reach the caller as it is.
struct TForeignStop : std::runtime_error {
    TForeignStop() : std::runtime_error("stopped from outside") {}
};

const std::string kMegabyte = [] {
    std::string bytes(1024 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}();

class KmWebTest : public ::testing::Test {
  protected:
    KmWebTest() {
        server.Route("/file", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kMegabyte, "application/zip");
        });
        server.Route("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("error page", "text/html");
        });
    }

    kmtest::TempDir dir;
    kmtest::TestHttpServer server;
};

TEST_F(KmWebTest, DownloadFilePartFileRules) {
    const kmtest::RawHttpServer shortBody("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\npartial");
    struct TCase {
        const char* name;
        std::string url;
        std::optional<std::string> oldTarget;  // the target's content before
        std::optional<std::string> stalePart;  // a part file from an earlier run
        bool targetIsFolder;                   // a target that cannot be deleted
        const char* error;                     // the exception's what() part, or null
        std::optional<std::string> target;     // the target's content after
        std::optional<std::string> part;       // the part file's content after
    };
    const std::vector<TCase> cases = {
        {"fresh", server.Url("/file"), {}, {}, false, nullptr, kMegabyte, {}},
        {"old target replaced", server.Url("/file"), "old", {}, false, nullptr, kMegabyte, {}},
        {"stale part emptied",
         server.Url("/file"),
         {},
         std::string(3 * 1024 * 1024, 'x'),
         false,
         nullptr,
         kMegabyte,
         {}},
        {"error status", server.Url("/missing"), "old", "stale", false, "404", "old", ""},
        {"body cut short",
         shortBody.Url(),
         "old",
         {},
         false,
         "43 bytes remaining",
         "old",
         "partial"},
        {"target not replaceable", server.Url("/file"), {}, {}, true, nullptr, {}, kMegabyte},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const kmtest::TempDir caseDir;
        const std::string target = caseDir / "package.zip";
        const std::string part = target + ".part";
        if (c.oldTarget) {
            WriteTextFile(target, *c.oldTarget);
        }
        if (c.targetIsFolder) {
            WriteTextFile(fs::path(target) / "inside", "kept");
        }
        if (c.stalePart) {
            WriteTextFile(part, *c.stalePart);
        }
        try {
            // A body cut short is tried again; without waiting here.
            auto settings = std::make_unique<km::THttpConfig>();
            settings->FirstRetryWait = std::chrono::milliseconds(1);
            km::DownloadFile(c.url, target, std::move(settings), nullptr);
            EXPECT_EQ(c.error, nullptr);
        } catch (const km::EHttpError& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        if (c.targetIsFolder) {
            EXPECT_EQ(ReadTextFile(fs::path(target) / "inside"), "kept");
        } else {
            EXPECT_EQ(fs::exists(target), c.target.has_value());
            EXPECT_TRUE(ReadTextFile(target) == c.target.value_or(""));
        }
        EXPECT_EQ(fs::exists(part), c.part.has_value());
        EXPECT_TRUE(ReadTextFile(part) == c.part.value_or(""));
    }
}

// What the progress callback throws reaches the caller as it was thrown;
// the part file keeps at most the first block and the old target stays.
TEST_F(KmWebTest, DownloadFileAbortedByCallback) {
    const std::vector<std::function<void()>> stops = {
        [] { throw km::EAbort("Stop requested"); },
        [] { throw TForeignStop(); },
    };
    for (size_t i = 0; i < stops.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string target = dir / ("abort" + std::to_string(i));
        WriteTextFile(target, "old");
        int calls = 0;
        const km::TWorkEvent onWork = [&](void*, km::TWorkMode, int64_t) {
            ++calls;
            stops[i]();
        };
        try {
            km::DownloadFile(server.Url("/file"), target, nullptr, onWork);
            ADD_FAILURE() << "no exception";
        } catch (const km::EAbort& e) {
            EXPECT_EQ(i, 0u);
            EXPECT_STREQ(e.what(), "Stop requested");
        } catch (const TForeignStop& e) {
            EXPECT_EQ(i, 1u);
            EXPECT_STREQ(e.what(), "stopped from outside");
        }
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(ReadTextFile(target), "old");
        const std::string part = ReadTextFile(target + ".part");
        EXPECT_LE(part.size(), 32u * 1024);
        EXPECT_TRUE(kMegabyte.starts_with(part));
    }
}

// Tries again only what broke off after some of the body came: a server that
// stops sending for the stall time, or closes before the first byte of the
// body, is not asked again. (Asked again, the first would hold the download
// through the waits below, which the deadline turns into an abort.)
TEST_F(KmWebTest, DownloadFileTriesAgainOnlyAfterProgress) {
    const kmtest::RawHttpServer stalls("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nPK",
                                       kmtest::RawHttpServer::TAfter::Stall);
    const kmtest::RawHttpServer noBody("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    const kmtest::RawHttpServer nothing("");
    struct TCase {
        const char* name;
        std::string url;
        int curlCode;
    };
    const TCase cases[] = {
        {"a stall after two bytes", stalls.Url("/p"), 28},    // CURLE_OPERATION_TIMEDOUT
        {"closed before the body", noBody.Url("/p"), 18},     // CURLE_PARTIAL_FILE
        {"closed without an answer", nothing.Url("/p"), 52},  // CURLE_GOT_NOTHING
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto settings = std::make_unique<km::THttpConfig>();
        settings->StallTimeout = std::chrono::seconds(1);
        settings->FirstRetryWait = std::chrono::hours(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        try {
            km::DownloadFile(c.url, dir / "p.zip", std::move(settings),
                             [&](void*, km::TWorkMode, int64_t) {
                                 if (std::chrono::steady_clock::now() > deadline) {
                                     throw km::EAbort("deadline");
                                 }
                             });
            ADD_FAILURE() << "no exception";
        } catch (const km::EHttpError& e) {
            EXPECT_EQ(e.CurlCode(), c.curlCode) << e.what();
        } catch (const km::EAbort&) {
            ADD_FAILURE() << "the download was tried again and waited";
        }
    }
}

TEST_F(KmWebTest, DownloadFileWithoutCreatablePartFileSendsNothing) {
    const std::string target = dir / "no-such-folder/package.zip";
    EXPECT_THROW(km::DownloadFile(server.Url("/file"), target, nullptr, nullptr),
                 fs::filesystem_error);
    EXPECT_TRUE(server.Requests().empty());
}

// FreeAfterUse decides who frees a settings object: the request (the caller's
// pointer is empty afterwards) or the caller (the object is left as it was),
// whether the request succeeds or fails.
TEST_F(KmWebTest, FreeAfterUseDecidesWhoFreesTheSettings) {
    for (const bool freeAfterUse : {true, false}) {
        for (const std::string& path : {std::string("/file"), std::string("/missing")}) {
            SCOPED_TRACE(std::string(freeAfterUse ? "FreeAfterUse " : "kept ") + path);
            auto config = std::make_unique<km::THttpConfig>();
            config->FreeAfterUse = freeAfterUse;
            config->AuthenticationUsername = "anna";
            const km::THttpConfig* before = config.get();
            std::ostringstream target;
            try {
                km::HttpGetToStream(server.Url(path), &target, config, nullptr);
            } catch (const km::EHttpError&) {
            }
            if (freeAfterUse) {
                EXPECT_EQ(config, nullptr);
            } else {
                ASSERT_EQ(config.get(), before);
                EXPECT_EQ(config->AuthenticationUsername, "anna");
                EXPECT_FALSE(config->FreeAfterUse);
            }
        }
    }
    // A kept object serves the next request; one handed over is freed by it.
    auto kept = std::make_unique<km::THttpConfig>();
    kept->FreeAfterUse = false;
    const std::string target = dir / "again";
    km::DownloadFile(server.Url("/file"), target, kept, nullptr);
    km::DownloadFile(server.Url("/file"), target, kept, nullptr);
    EXPECT_NE(kept, nullptr);
    km::DownloadFile(server.Url("/file"), target, std::make_unique<km::THttpConfig>(), nullptr);
    EXPECT_EQ(ReadTextFile(target), kMegabyte);
}

TEST_F(KmWebTest, AssertionsForMissingArguments) {
    try {
        km::CreateHttpClient(nullptr, nullptr);
        ADD_FAILURE() << "no assertion";
    } catch (const km::EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "Assertion fehlgeschlagen (common/Km.Web, Zeile 397)");
    }
    auto config = std::make_unique<km::THttpConfig>();
    try {
        km::HttpGetToStream(server.Url("/file"), nullptr, config, nullptr);
        ADD_FAILURE() << "no assertion";
    } catch (const km::EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "Assertion fehlgeschlagen (common/Km.Web, Zeile 477)");
    }
    // Consumed all the same.
    EXPECT_EQ(config, nullptr);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(KmWebTest, DownloadStringDecodesWithTheLocaleCharset) {
    struct TCase {
        const char* locale;
        std::string body;
        std::string text;
    };
    const std::string replacement = "\xEF\xBF\xBD";
    const std::vector<TCase> cases = {
        {"C.UTF-8", "Grüße", "Grüße"},
        {"C.UTF-8",
         "a\xFF"
         "b",
         "a" + replacement + "b"},
        {"C.UTF-8", "cut \xC3", "cut " + replacement},
        {"C", "\xC3\xA9!", replacement + replacement + "!"},
        {"C.UTF-8", "", ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const TCase& c = cases[i];
        SCOPED_TRACE(c.locale + (" " + c.body));
        const kmtest::ScopedEnv locale("LC_ALL", c.locale);
        const std::string path = "/text" + std::to_string(i);
        server.Route(path, [&](const httplib::Request&, httplib::Response& res) {
            // The declared charset does not matter.
            res.set_content(c.body, "text/plain; charset=ISO-8859-1");
        });
        EXPECT_EQ(km::DownloadString(server.Url(path), true), c.text);
    }
}

TEST_F(KmWebTest, DownloadStringErrors) {
    EXPECT_EQ(km::DownloadString(server.Url("/missing"), false), "");
    try {
        km::DownloadString(server.Url("/missing"), true);
        ADD_FAILURE() << "no error";
    } catch (const km::EHttpError& e) {
        EXPECT_EQ(e.StatusCode(), 404);
        EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
    }
    EXPECT_EQ(km::DownloadString("http://127.0.0.1:1/", false), "");
    EXPECT_THROW(km::DownloadString("http://127.0.0.1:1/", true), km::EHttpError);
}

}  // namespace
