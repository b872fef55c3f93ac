#include "common/ui/PostedMessage.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <list>
#include <mutex>

namespace km {
namespace {

// Every queued message in the order it was posted. Messages may be posted
// from any thread, hence the lock.
struct QueueRecord {
    std::mutex mutex;
    std::list<TMessageEvent*> queued;
};

QueueRecord& Record() {
    static QueueRecord record;
    return record;
}

}  // namespace

QEvent::Type TMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TMessageEvent::TMessageEvent(const TMessage& message) : QEvent(EventType()), fMessage(message) {}

TMessageEvent::~TMessageEvent() {
    // Qt deletes the events still queued for an object that goes away.
    auto& record = Record();
    std::lock_guard lock(record.mutex);
    if (fQueued) {
        record.queued.remove(this);
    }
}

bool TMessageEvent::BeginDelivery() {
    auto& record = Record();
    std::lock_guard lock(record.mutex);
    if (fTaken) {
        return false;
    }
    if (fQueued) {
        record.queued.remove(this);
        fQueued = false;
    }
    return true;
}

void PostMessage(QObject* target, uint32_t msg, intptr_t wParam, intptr_t lParam) {
    auto event = std::make_unique<TMessageEvent>(TMessage{msg, wParam, lParam, 0});
    event->fTarget = target;
    event->fThread = target->thread();
    {
        auto& record = Record();
        std::lock_guard lock(record.mutex);
        event->fQueued = true;
        record.queued.push_back(event.get());
    }
    // postEvent takes the event over, also when it cannot deliver it.
    QCoreApplication::postEvent(target, event.release());
}

TMessage SendMessage(QObject* target, uint32_t msg, intptr_t wParam, intptr_t lParam) {
    TMessageEvent event(TMessage{msg, wParam, lParam, 0});
    QCoreApplication::sendEvent(target, &event);
    return event.Message();
}

std::optional<TQueuedMessage> TakeQueuedMessage(uint32_t low, uint32_t high) {
    auto& record = Record();
    std::lock_guard lock(record.mutex);
    QThread* const current = QThread::currentThread();
    const auto it = std::find_if(record.queued.begin(), record.queued.end(), [&](auto* event) {
        const uint32_t msg = event->fMessage.Msg;
        return event->fThread == current && msg >= low && msg <= high;
    });
    if (it == record.queued.end()) {
        return std::nullopt;
    }
    TMessageEvent* event = *it;
    record.queued.erase(it);
    event->fQueued = false;
    event->fTaken = true;
    return TQueuedMessage{event->fTarget, event->fMessage};
}

}  // namespace km
