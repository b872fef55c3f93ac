#include "common/ui/Application.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <stdexcept>

#include "common/base/KmException.h"
#include "common/ui/KmTimer.h"
#include "support/ui/UiTestSupport.h"

namespace {

std::exception_ptr Nested(const std::string& outer, const std::string& inner) {
    try {
        try {
            throw std::runtime_error(inner);
        } catch (...) {
            std::throw_with_nested(km::Exception(outer));
        }
    } catch (...) {
        return std::current_exception();
    }
}

TEST(DefaultExceptionText, InnermostMessageAndFullStop) {
    struct Case {
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {"Datei fehlt", "Datei fehlt."},
        {"Datei fehlt.", "Datei fehlt."},
        {"Wirklich?", "Wirklich?."},
        {"Achtung!", "Achtung!"},
        {"(Code 5)", "(Code 5)"},
        {"Größe: 5", "Größe: 5."},
        {"Maß", "Maß."},
        {"Pfad \"x\"", "Pfad \"x\""},
        {"Ende,", "Ende,"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(km::DefaultExceptionText(std::make_exception_ptr(km::Exception(c.message))),
                  c.expected)
            << c.message;
    }
    EXPECT_EQ(km::DefaultExceptionText(Nested("außen", "innen")), "innen.");
    EXPECT_EQ(km::DefaultExceptionText(std::make_exception_ptr(km::EAbort())), std::nullopt);
}

// Exceptions escaping the handlers that run from the event loop: posted
// calls (caught by notify) and our timers.
TEST(DefaultHandling, ShowsBoxWithTitleAndDropsAbort) {
    struct Case {
        const char* name;
        std::function<void()> raise;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"posted call",
         [] { throw km::EInternalError("Thread not found: X"); },
         {"Thread not found: X."}},
        {"nested chain",
         [] { std::rethrow_exception(Nested("outer", "inner cause")); },
         {"inner cause."}},
        {"silent abort", [] { throw km::EAbort(); }, {}},
    };
    for (const auto& c : cases) {
        kmtest::TBoxAnswerer answerer;
        bool done = false;
        QMetaObject::invokeMethod(qApp, c.raise, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            qApp, [&] { done = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return done; })) << c.name;
        std::vector<std::string> texts;
        for (const auto& box : answerer.Boxes()) {
            texts.push_back(box.text);
            EXPECT_EQ(box.caption, "Online-Updater");
            EXPECT_EQ(box.icon, QMessageBox::Critical);
        }
        EXPECT_EQ(texts, c.texts) << c.name;
    }

    kmtest::TBoxAnswerer answerer;
    km::TKmTimer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        timer.SetEnabled(false);
        throw std::runtime_error("Zeitgeber");
    });
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return !answerer.Boxes().empty(); }));
    EXPECT_EQ(answerer.Boxes()[0].text, "Zeitgeber.");
}

TEST(ApplicationEvents, ListenerSeesEventsAndTakesExceptions) {
    std::vector<std::string> caught;
    int metaCalls = 0;
    {
        km::TApplicationEvents listener;
        listener.OnMessage = [&](QObject*, QEvent* event, bool&) {
            metaCalls += event->type() == QEvent::MetaCall;
        };
        listener.OnException = [&](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                caught.push_back(e.what());
            }
        };
        kmtest::TBoxAnswerer answerer;
        bool done = false;
        QMetaObject::invokeMethod(
            qApp, [] { throw std::runtime_error("an den Zuhörer"); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            qApp, [&] { done = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return done; }));
        EXPECT_TRUE(answerer.Boxes().empty());
    }
    EXPECT_EQ(caught, std::vector<std::string>{"an den Zuhörer"});
    EXPECT_GE(metaCalls, 2);
}

TEST(KmTimer, IntervalChangesBetweenTicksAndZeroNeverFires) {
    km::TKmTimer timer;
    std::vector<int> intervals;
    timer.SetInterval(3);
    timer.SetOnTimer([&] {
        intervals.push_back(timer.Interval());
        timer.SetInterval(timer.Interval() * 2);
        if (intervals.size() == 3) {
            timer.SetEnabled(false);
        }
    });
    ASSERT_TRUE(kmtest::ProcessEventsUntil([&] { return intervals.size() == 3; }));
    EXPECT_EQ(intervals, (std::vector<int>{3, 6, 12}));
    EXPECT_FALSE(timer.IsActive());

    timer.SetInterval(0);
    timer.SetEnabled(true);
    EXPECT_FALSE(timer.IsActive());
}

}  // namespace
