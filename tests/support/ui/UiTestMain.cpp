// The window tests need the application before the first test runs.

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdlib>

#include "common/base/Translate.h"
#include "common/ui/Application.h"

int main(int argc, char** argv) {
    // Headless unless the caller chose a platform (test discovery runs the
    // binary without ctest's environment).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The offscreen platform complains about every message box it shows.
    static const QtMessageHandler defaultHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& msg) {
            if (!msg.contains("does not support propagateSizeHints")) {
                defaultHandler(type, context, msg);
            }
        });
    testing::InitGoogleTest(&argc, argv);
    km::TApplication app(argc, argv);
    app.SetTitle(km::Tr("Online-Updater"));  // as start-up does
    return RUN_ALL_TESTS();
}
