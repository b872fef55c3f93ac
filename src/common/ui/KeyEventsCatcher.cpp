#include "common/ui/KeyEventsCatcher.h"

#include <QApplication>
#include <QWidget>

#include "common/base/KmDebug.h"

namespace km {

TKeyEventsCatcher::TKeyEventsCatcher() : fListener(std::make_unique<TApplicationEvents>()) {
    // Room for a burst of fast typing; the vector doubles when it is full.
    fEvents.reserve(100);
    fListener->OnMessage = [this](QObject*, QEvent* event, bool& handled) {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            fEvents.emplace_back(static_cast<QKeyEvent*>(event->clone()));
            handled = true;
        }
    };
}

void TKeyEventsCatcher::Release() {
    fListener.reset();
    const size_t count = fEvents.size();
    if (QWidget* focus = QApplication::focusWidget()) {
        for (auto& event : fEvents) {
            QCoreApplication::postEvent(focus, event.release());
        }
    }
    fEvents.clear();
    if (count > 0) {
        DebugLog("Fast typing detected: Number of recovered keystrokes: " + std::to_string(count));
    }
}

void TKeyEventsCatcher::Dismiss() {
    fListener.reset();
    fEvents.clear();
}

}  // namespace km
