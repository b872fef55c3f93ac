#include "common/ui/KmTimer.h"

#include <QTimerEvent>

#include "common/ui/Application.h"

namespace km {

TKmTimer::TKmTimer(QObject* owner) : QObject(owner) {}

void TKmTimer::SetEnabled(bool enabled) {
    fEnabled = enabled;
    Update();
}

void TKmTimer::SetInterval(int interval) {
    fInterval = interval < 0 ? 0 : interval;
    Update();
}

void TKmTimer::SetOnTimer(std::function<void()> onTimer) {
    fOnTimer = std::move(onTimer);
    Update();
}

void TKmTimer::Update() {
    fTimer.stop();
    if (fEnabled && fInterval > 0 && fOnTimer) {
        fTimer.start(fInterval, this);
    }
}

void TKmTimer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != fTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    try {
        // A copy: the handler may replace itself.
        auto onTimer = fOnTimer;
        onTimer();
    } catch (...) {
        ReportCurrentException();
    }
}

}  // namespace km
