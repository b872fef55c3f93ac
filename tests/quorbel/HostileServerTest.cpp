// Drill: whole update runs against a configuration server that misbehaves.
// Each case must end with its documented code, keep the product's folders as
// they were and stay within bounded memory; the slow ones are stopped by the
// stop request as the wizard would, and must end promptly.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "UpdateRunFixture.h"
#include "common/registry/KmRegistry.h"
#include "support/RawHttpServer.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qbtest::Tree;

const std::string kDescriptorPath =
    std::string("/qbdata/") + qb::kInstallerProject + "/configinfo.xml";
constexpr const char* kPackagePath = "/pkg/dev.zip";
constexpr long kMemoryAllowanceKib = 64 * 1024;
// An "endless" body ends after this much all the same, so that a run that
// failed to stop cannot fill the disk of the machine running the tests.
constexpr size_t kEndlessCap = size_t{256} << 20;

// A named pipe standing for a local file that the descriptor names. Opening
// it for reading is what reading the file would take first; a reader shows
// as a successful non-blocking open for writing, which then also feeds it,
// so a parser that did open it would not hang.
class TFifoWatch {
  public:
    explicit TFifoWatch(fs::path path) : fPath(std::move(path)) {
        if (::mkfifo(fPath.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
        fThread = std::thread([this] {
            while (!fStop) {
                const int fd = ::open(fPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    fOpened = true;
                    static const char kSecret[] = "LOCAL-SECRET";
                    (void)!::write(fd, kSecret, sizeof kSecret - 1);
                    ::close(fd);
                }
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~TFifoWatch() {
        fStop = true;
        fThread.join();
    }
    bool Opened() const { return fOpened; }
    std::string Url() const { return "file://" + fPath.string(); }

  private:
    fs::path fPath;
    std::atomic<bool> fStop{false};
    std::atomic<bool> fOpened{false};
    std::thread fThread;
};

class HostileServerTest : public qbtest::UpdateRunFixture {
  protected:
    void TearDown() override { stopServing = true; }

    // A valid dev package at kPackagePath of the server folder.
    std::string PublishDevPackage() {
        const fs::path file = sandbox.Root() / "server" / "pkg" / "dev.zip";
        fs::create_directories(file.parent_path());
        kmtest::WriteZip(file, {{"dev/"}, {"dev/new.txt", "new dev"}});
        return kmtest::ReadTextFile(file);
    }

    void Report(const std::string& name, const qbtest::TRunResult& run, long rssGrowthKib) {
        std::printf("[ drill    ] %-34s code %d, stop-to-end %lld ms, peak memory growth %ld KiB\n",
                    name.c_str(), run.code, static_cast<long long>(run.stopLatency.count()),
                    rssGrowthKib);
    }

    std::atomic<bool> stopServing{false};
};

// Bodies that never end or are far too large, redirect loops and documents
// the parser must refuse: the descriptor is unavailable (-4 for every type).
TEST_F(HostileServerTest, DescriptorThatCannotBeUsedGivesMinus4) {
    const std::string block(64 * 1024, ' ');
    struct TCase {
        const char* name;
        std::function<void(httplib::Response&)> answer;
    };
    const TCase cases[] = {
        {"endless body",
         [&](httplib::Response& r) {
             r.set_chunked_content_provider("text/xml",
                                            [&](size_t offset, httplib::DataSink& sink) {
                                                return !stopServing && offset < kEndlessCap &&
                                                       sink.write(block.data(), block.size());
                                            });
         }},
        {"100 MB descriptor",
         [&](httplib::Response& r) {
             r.set_content_provider(size_t{100} << 20, "text/xml",
                                    [&](size_t, size_t length, httplib::DataSink& sink) {
                                        return !stopServing &&
                                               sink.write(block.data(),
                                                          std::min(length, block.size()));
                                    });
         }},
        {"redirect loop", [](httplib::Response& r) { r.set_redirect(kDescriptorPath); }},
        {"malformed XML",
         [](httplib::Response& r) {
             r.set_content("<c><dev><date>1</date><url>x.zip</url></dev>", "text/xml");
         }},
        {"HTML error page",
         [](httplib::Response& r) {
             r.set_content("<html><body><h1>502 Bad Gateway</h1></body>", "text/html");
         }},
        {"entity expansion in an attribute",
         [](httplib::Response& r) {
             std::string dtd = "<!DOCTYPE c [<!ENTITY l0 \"lol\">";
             for (int i = 1; i < 10; ++i) {
                 dtd += "<!ENTITY l" + std::to_string(i) + " \"";
                 for (int j = 0; j < 10; ++j) {
                     dtd += "&l" + std::to_string(i - 1) + ";";
                 }
                 dtd += "\">";
             }
             r.set_content(dtd + "]><c a=\"&l9;\"><dev><date>D1</date></dev></c>", "text/xml");
         }},
    };
    const TCase* current = nullptr;
    server.Route(kDescriptorPath,
                 [&](const httplib::Request&, httplib::Response& r) { current->answer(r); });
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        current = &c;
        const long before = qbtest::MaxRssKib();
        const qbtest::TRunResult run = Run();
        const long growth = qbtest::MaxRssKib() - before;
        Report(c.name, run, growth);
        EXPECT_EQ(run.code, -404) << run.text;
        EXPECT_LT(growth, kMemoryAllowanceKib);
        ExpectProductUnchanged();
    }
}

// Entity tricks: internal entities are never expanded (the value element
// then holds a reference, which the descriptor rules refuse: -1 with the
// element's message), and nothing that names a local file opens it, whether
// as an entity, an external DTD or a parameter entity.
TEST_F(HostileServerTest, EntitiesAreNeitherExpandedNorLoaded) {
    PublishDevPackage();
    TFifoWatch local(sandbox.Root() / "local-file");
    const std::string entry =
        "<dev><date>D1</date><url>" + server.Url(kPackagePath) + "</url></dev>";
    std::string laughs = "<!DOCTYPE c [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            laughs += "&l" + std::to_string(i - 1) + ";";
        }
        laughs += "\">";
    }
    struct TCase {
        const char* name;
        std::string xml;
        int code;
    };
    const std::string badDate = "Element \"date\" enthält keinen einzelnen Textknoten";
    const TCase cases[] = {
        {"billion laughs", laughs + "]><c><dev><date>&l9;</date></dev></c>", -404},
        {"external entity",
         "<!DOCTYPE c [<!ENTITY e SYSTEM \"" + local.Url() +
             "\">]><c><dev><date>&e;</date></dev></c>",
         -1},
        {"external entity in an attribute",
         "<!DOCTYPE c [<!ENTITY e SYSTEM \"" + local.Url() + "\">]><c a=\"&e;\">" + entry + "</c>",
         -404},
        {"external DTD", "<!DOCTYPE c SYSTEM \"" + local.Url() + "\"><c>" + entry + "</c>", 1},
        {"parameter entity",
         "<!DOCTYPE c [<!ENTITY % p SYSTEM \"" + local.Url() + "\"> %p;]><c>" + entry + "</c>", 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ConfigDir() / "dev");
        qbtest::MakeTree(ConfigDir() / "dev", OldDev());
        km::WriteRegString(std::string("lastconfigupdate.") + kProject + ".dev", "");
        WriteDescriptor(c.xml);
        const long before = qbtest::MaxRssKib();
        const qbtest::TRunResult run = Run();
        Report(c.name, run, qbtest::MaxRssKib() - before);
        EXPECT_EQ(run.code, c.code) << run.text;
        if (c.code == -1) {
            EXPECT_EQ(run.text, badDate);
        }
        EXPECT_EQ(run.text.find("LOCAL-SECRET"), std::string::npos);
        EXPECT_FALSE(local.Opened());
        if (c.code == 1) {
            EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (Tree{{"new.txt", "new dev"}}));
        } else {
            ExpectProductUnchanged();
        }
    }
}

// Encodings the parser must read: the package is installed (bit 1).
TEST_F(HostileServerTest, DescriptorInUtf16AndWindows1252) {
    PublishDevPackage();
    const std::string text = "<c><dev><date>D1</date><url>" + server.Url(kPackagePath) +
                             "</url><torun>Gr\xfc\xdf"
                             "e.sh</torun></dev></c>";
    std::string utf16 = "\xff\xfe";
    for (const char ch : "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + text) {
        if (ch != '\0') {
            utf16 += ch;
            utf16 += '\0';
        }
    }
    const std::string cp1252 = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>" + text;
    for (const std::string* xml : {static_cast<const std::string*>(&utf16), &cp1252}) {
        fs::remove_all(ConfigDir() / "dev");
        qbtest::MakeTree(ConfigDir() / "dev", OldDev());
        km::WriteRegString(std::string("lastconfigupdate.") + kProject + ".dev", "");
        WriteDescriptor(*xml);
        const qbtest::TRunResult run = Run();
        EXPECT_EQ(run.code, 1) << run.text;
        EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (Tree{{"new.txt", "new dev"}}));
    }
}

// A body longer than its announced length: only the announced bytes count,
// so a complete descriptor and a complete package are used as they are.
TEST_F(HostileServerTest, BytesBeyondTheAnnouncedLengthAreIgnored) {
    const std::string zip = PublishDevPackage();
    const std::string junk(8 << 20, 'J');
    kmtest::RawHttpServer package("HTTP/1.1 200 OK\r\nContent-Length: " +
                                  std::to_string(zip.size()) + "\r\n\r\n" + zip + junk);
    const std::string xml = Descriptor({{"dev", package.Url("/dev.zip")}});
    kmtest::RawHttpServer descriptor("HTTP/1.1 200 OK\r\nContent-Length: " +
                                     std::to_string(xml.size()) + "\r\n\r\n" + xml + junk);
    server.Route(kDescriptorPath, [&](const httplib::Request&, httplib::Response& r) {
        r.set_redirect(descriptor.Url("/configinfo.xml"));
    });
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (Tree{{"new.txt", "new dev"}}));
}

// Package downloads that never end, stall after the headers, trickle a byte
// a second or redirect forever: the download fails (-3 for dev, partner has
// no entry: -1001), stopped by the stop request where nothing else ends it.
TEST_F(HostileServerTest, PackageDownloadThatNeverCompletesGivesMinus3) {
    // Far beyond the run's deadline: only the stop request can end a stall.
    stallTimeout = 10 * kRunDeadline;
    const std::string block(64 * 1024, 'z');
    kmtest::RawHttpServer stall("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nPK",
                                kmtest::RawHttpServer::TAfter::Stall);
    struct TCase {
        const char* name;
        std::string url;
        std::function<void(httplib::Response&)> answer;
        std::chrono::milliseconds stopAfter;
    };
    const TCase cases[] = {
        {"endless package body", server.Url("/pkg/1/dev.zip"),
         [&](httplib::Response& r) {
             r.set_chunked_content_provider("application/zip",
                                            [&](size_t offset, httplib::DataSink& sink) {
                                                return !stopServing && offset < kEndlessCap &&
                                                       sink.write(block.data(), block.size());
                                            });
         },
         500ms},
        {"package stalls after the headers", stall.Url("/dev.zip"), nullptr, 500ms},
        {"package trickles a byte a second", server.Url("/pkg/2/dev.zip"),
         [&](httplib::Response& r) {
             r.set_chunked_content_provider("application/zip",
                                            [&](size_t, httplib::DataSink& sink) {
                                                for (int i = 0; i < 20 && !stopServing; ++i) {
                                                    std::this_thread::sleep_for(50ms);
                                                }
                                                return !stopServing && sink.write("P", 1);
                                            });
         },
         1500ms},
        {"package redirect loop", server.Url("/pkg/3/dev.zip"),
         [](httplib::Response& r) { r.set_redirect("/pkg/3/dev.zip"); }, 0ms},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.answer) {
            // Routes are tried in the order they were added: one path per case.
            server.Route(c.url.substr(server.BaseUrl().size()),
                         [&](const httplib::Request&, httplib::Response& r) { c.answer(r); });
        }
        WriteDescriptor(Descriptor({{"dev", c.url}}), "tolvanconfig");
        const long before = qbtest::MaxRssKib();
        const qbtest::TRunResult run = Run(false, c.stopAfter);
        Report(c.name, run, qbtest::MaxRssKib() - before);
        EXPECT_EQ(run.code, -100103) << run.text;
        ExpectProductUnchanged();
        EXPECT_FALSE(fs::exists(ConfigDir() / "dev" / "dev.zip"));
        EXPECT_EQ(RegValue("lastconfigupdate.dev"), "<none>");
    }
}

// A descriptor that stalls after its headers or trickles: the stop request
// ends the run, without a descriptor (-4 for every type). The stall limit
// lies far beyond the run's deadline, so a stop that does not work fails
// the test instead of being covered by the limit.
TEST_F(HostileServerTest, StalledDescriptorIsStoppedPromptly) {
    stallTimeout = 10 * kRunDeadline;
    kmtest::RawHttpServer stall("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<c>",
                                kmtest::RawHttpServer::TAfter::Stall);
    server.Route(kDescriptorPath, [&](const httplib::Request&, httplib::Response& r) {
        r.set_chunked_content_provider("text/xml", [&](size_t, httplib::DataSink& sink) {
            for (int i = 0; i < 20 && !stopServing; ++i) {
                std::this_thread::sleep_for(50ms);
            }
            return !stopServing && sink.write(" ", 1);
        });
    });
    const qbtest::TRunResult trickle = Run(true, 1500ms);
    Report("descriptor trickles a byte a second", trickle, 0);
    EXPECT_EQ(trickle.code, -404);

    const std::string root = stall.Url("/");
    const qbtest::TRunResult stalled = Run(true, 500ms, root.substr(0, root.size() - 1));
    Report("descriptor stalls after the headers", stalled, 0);
    EXPECT_EQ(stalled.code, -404);
    ExpectProductUnchanged();
}

}  // namespace
