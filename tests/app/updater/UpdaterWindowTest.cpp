// The window with the real update worker, as start-up joins them: the
// worker runs before anything is shown, and what it reports is put into
// words by the window, in the language the user has when the box appears.

#include <gtest/gtest.h>

#include <QMessageBox>

#include <cstdlib>
#include <filesystem>

#include "MainForm.h"
#include "UpdaterFollowUp.h"
#include "common/registry/KmRegistry.h"
#include "common/thread/ThreadManager.h"
#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"
#include "support/ui/UiTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(UpdaterWindow, TheBoxIsInTheLanguageTheUserHasWhenItAppears) {
    kmtest::Sandbox sandbox;
    km::SetRegistryRoot(qb::kProductRegistryKey);
    kmtest::MakeTree(sandbox.Root() / "data/config/dev", {{"d.txt", "old"}});
    ASSERT_TRUE(km::WriteRegString("DatabaseDir", (sandbox.Root() / "data").string(),
                                   qb::kProductRegistryKey));
    kmtest::TestHttpServer server;
    kmtest::WriteTextFile(
        sandbox.Root() / "server/qbdata" / qb::kInstallerProject / "configinfo.xml",
        "<c><dev><date>20261211<!-- x --></date><url>dev.zip</url></dev></c>");
    server.ServeDirectory(sandbox.Root() / "server", "/");

    const kmtest::TLanguageGuard languageGuard;
    struct TCase {
        const char* language;  // while the box is shown; the worker runs in German
        const char* text;
        const char* caption;
    };
    const TCase cases[] = {
        {"en",
         "The update was not successful (-1).\n\nElement \"date\" does not contain a single text "
         "node",
         "Error"},
        {"de",
         "Der Aktualisierungsvorgang war nicht erfolgreich (-1).\n\nElement \"date\" enthält "
         "keinen einzelnen Textknoten",
         "Fehler"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.language);
        kmtest::UseLanguage("de");
        qb::TUpdaterSettings settings;
        settings.ConfigServerRoot = server.BaseUrl();
        ThreadManager = std::make_unique<km::TThreadManager>();
        km::CreateManagedThread<qb::TConfigUpdaterThread>(
            qb::kUpdaterThreadId, ThreadManager.get(), true, true, qb::kInstallerProject, settings);
        ASSERT_TRUE(kmtest::ProcessEventsUntil(
            [] { return !ThreadManager->IsRunning(qb::kUpdaterThreadId); }));
        kmtest::UseLanguage(c.language);
        kmtest::TBoxAnswerer answerer;
        QPointer<TMainForm> form =
            &km::TKmForm::CreateForm<TMainForm>(&ReadUpdaterFollowUp, &ReadUpdaterResultText);
        form->SetEstimatedTime(1);
        form->show();
        ASSERT_TRUE(kmtest::ProcessEventsUntil([&form] { return form.isNull(); }));
        ASSERT_EQ(answerer.Boxes().size(), 1u);
        EXPECT_EQ(answerer.Boxes()[0].text, c.text);
        EXPECT_EQ(answerer.Boxes()[0].caption, c.caption);
        ThreadManager.reset();
    }
}

}  // namespace
