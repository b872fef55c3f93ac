#include "TimedProgress.h"

#include <QProgressBar>

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/ui/KmTimer.h"

void StartTimedProgress(QProgressBar& bar, int max, double seconds) {
    bar.setMinimum(0);
    bar.setMaximum(max);
    bar.setValue(1);
    auto* timer = new km::TKmTimer(&bar);  // owned by the bar
    timer->setObjectName("TimedProgressTimer");
    timer->SetInterval(FirstTimedProgressInterval(seconds, max));
    timer->SetOnTimer([&bar, timer] { TimedProgressStep(bar, *timer); });
    timer->SetEnabled(true);
}

void TimedProgressStep(QProgressBar& bar, km::TKmTimer& timer) {
    if (bar.value() == 0 || bar.value() == bar.maximum()) {
        timer.SetEnabled(false);
        return;
    }
    bar.setValue(bar.value() + 1);
    const int remaining = bar.maximum() - bar.value();
    if (remaining > 4) {
        timer.SetInterval(NextTimedProgressInterval(timer.Interval(), remaining));
    } else {
        timer.SetEnabled(false);
    }
}

int FirstTimedProgressInterval(double seconds, int max) {
    if (max <= 0) {
        return 0;
    }
    const double interval = std::trunc(seconds * 1000.0 / max);
    if (!(interval > 0)) {
        return 0;
    }
    return interval >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                       : static_cast<int>(interval);
}

int NextTimedProgressInterval(int interval, int remaining) {
    const int64_t next = static_cast<int64_t>(interval) * (remaining + 2) / remaining;
    return next >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                   : static_cast<int>(next);
}
