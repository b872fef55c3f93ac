#include "support/ui/UiTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

#include <libintl.h>

#include <cstdlib>
#include <thread>

namespace kmtest {

using Clock = std::chrono::steady_clock;

struct TBoxAnswerer::State {
    std::function<void(size_t)> onBox;
    std::chrono::milliseconds holdFor;
    bool stopped = false;
    std::vector<TSeenBox> boxes;
    struct Open {
        QPointer<QMessageBox> box;
        Clock::time_point seenAt;
    };
    std::vector<Open> open;
};

namespace {

void Poll(const std::shared_ptr<TBoxAnswerer::State>& state);

void SchedulePoll(const std::shared_ptr<TBoxAnswerer::State>& state) {
    QMetaObject::invokeMethod(
        qApp, [state] { Poll(state); }, Qt::QueuedConnection);
}

void Poll(const std::shared_ptr<TBoxAnswerer::State>& state) {
    if (state->stopped) {
        return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        auto it = std::find_if(state->open.begin(), state->open.end(),
                               [box](const auto& o) { return o.box == box; });
        if (it == state->open.end()) {
            state->boxes.push_back({box->text().toStdString(), box->windowTitle().toStdString(),
                                    box->icon(), box->standardButtons()});
            state->open.push_back({box, Clock::now()});
            if (state->onBox) {
                state->onBox(state->boxes.size() - 1);
            }
        } else if (Clock::now() - it->seenAt >= state->holdFor) {
            state->open.erase(it);
            box->button(QMessageBox::Ok)->click();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    SchedulePoll(state);
}

}  // namespace

TBoxAnswerer::TBoxAnswerer(std::function<void(size_t)> onBox, std::chrono::milliseconds holdFor)
    : fState(std::make_shared<State>()) {
    fState->onBox = std::move(onBox);
    fState->holdFor = holdFor;
    SchedulePoll(fState);
}

TBoxAnswerer::~TBoxAnswerer() {
    fState->stopped = true;
}

const std::vector<TSeenBox>& TBoxAnswerer::Boxes() const {
    return fState->boxes;
}

bool ProcessEventsUntil(const std::function<bool()>& condition) {
    const auto limit = Clock::now() + std::chrono::seconds(20);
    // Waiting for events (as the real event loop does) lets the loop become
    // idle; the timer wakes it up again.
    QTimer wakeUp;
    wakeUp.start(5);
    while (!condition()) {
        if (Clock::now() > limit) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void RefreshCatalogue() {
    // The documented way to tell gettext that its environment changed.
    textdomain(textdomain(nullptr));
}

void UseLanguage(const char* language) {
    setenv("LANGUAGE", language, 1);
    RefreshCatalogue();
}

TLanguageGuard::TLanguageGuard() {
    if (const char* language = std::getenv("LANGUAGE")) {
        fOld = language;
    }
}

TLanguageGuard::~TLanguageGuard() {
    if (fOld) {
        setenv("LANGUAGE", fOld->c_str(), 1);
    } else {
        unsetenv("LANGUAGE");
    }
    RefreshCatalogue();
}

}  // namespace kmtest
