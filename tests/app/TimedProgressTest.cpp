#include "TimedProgress.h"

#include <gtest/gtest.h>

#include <QProgressBar>

#include <cmath>
#include <vector>

#include "common/ui/KmTimer.h"

namespace {

TEST(TimedProgress, IntervalsGrowFromTheEstimatedDuration) {
    struct Case {
        double seconds;
        int max;
        std::vector<int> intervals;  // the first ones, in order
    };
    const Case cases[] = {
        {60, 100, {600, 612, 624, 637, 650, 663}},
        {1, 100, {10, 10, 10, 10, 10, 10}},  // 10*100/98 = 10.2: truncated
        {0.5, 100, {5, 5, 5}},
        {0, 100, {0}},
        {60, 0, {0}},
        {-3, 100, {0}},
    };
    for (const auto& c : cases) {
        std::vector<int> got{FirstTimedProgressInterval(c.seconds, c.max)};
        for (int position = 2; got.size() < c.intervals.size(); ++position) {
            got.push_back(NextTimedProgressInterval(got.back(), c.max - position));
        }
        EXPECT_EQ(got, c.intervals) << c.seconds << " s, max " << c.max;
    }
}

// Where the bar stands after how much (simulated) time with 60 s estimated.
TEST(TimedProgress, SixtySecondsReachNinetySixOnlyAfterEighteenMinutes) {
    int interval = FirstTimedProgressInterval(60, 100);
    int position = 1;
    double elapsed = 0;
    std::vector<std::pair<int, double>> reached;
    while (true) {
        elapsed += interval / 1000.0;
        ++position;
        if (position == 50 || position == 75 || position == 90 || position == 96) {
            reached.emplace_back(position, elapsed);
        }
        const int remaining = 100 - position;
        if (remaining <= 4) {
            break;
        }
        interval = NextTimedProgressInterval(interval, remaining);
    }
    ASSERT_EQ(reached.size(), 4u);
    EXPECT_NEAR(reached[0].second, 56, 1);
    EXPECT_NEAR(reached[1].second, 165, 1);
    EXPECT_NEAR(reached[2].second, 468, 1);
    EXPECT_NEAR(reached[3].second, 1099, 1);
    EXPECT_NEAR(interval / 1000.0, 192.6, 0.1);  // the step to 96
    EXPECT_EQ(position, 96);
}

TEST(TimedProgress, StepsAdvanceAndStopFourShortOfTheEnd) {
    struct Case {
        const char* name;
        int position;
        int interval;
        int wantPosition;
        int wantInterval;
        bool wantEnabled;
    };
    const Case cases[] = {
        {"first tick", 1, 600, 2, 612, true},
        {"five left after the step", 94, 1000, 95, 1400, true},
        {"four left after the step: stops", 95, 1000, 96, 1000, false},
        {"at the maximum: stops without moving", 100, 700, 100, 700, false},
        {"at 0: stops without moving", 0, 700, 0, 700, false},
    };
    for (const auto& c : cases) {
        QProgressBar bar;
        bar.setRange(0, 100);
        bar.setValue(c.position);
        km::TKmTimer timer;
        timer.SetInterval(c.interval);
        timer.SetOnTimer([] {});
        timer.SetEnabled(true);
        TimedProgressStep(bar, timer);
        EXPECT_EQ(bar.value(), c.wantPosition) << c.name;
        EXPECT_EQ(timer.Interval(), c.wantInterval) << c.name;
        EXPECT_EQ(timer.Enabled(), c.wantEnabled) << c.name;
    }
}

TEST(TimedProgress, StartSetsTheBarAndItsTimer) {
    struct Case {
        double seconds;
        int interval;
        bool active;  // 0 never fires
    };
    for (const auto& c : {Case{60, 600, true}, Case{0, 0, false}}) {
        QProgressBar bar;
        bar.setRange(10, 20);
        bar.setValue(15);
        StartTimedProgress(bar, 100, c.seconds);
        EXPECT_EQ(bar.minimum(), 0);
        EXPECT_EQ(bar.maximum(), 100);
        EXPECT_EQ(bar.value(), 1);
        auto* timer = dynamic_cast<km::TKmTimer*>(bar.findChild<QObject*>("TimedProgressTimer"));
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->Interval(), c.interval);
        EXPECT_EQ(timer->IsActive(), c.active);
    }
}

}  // namespace
