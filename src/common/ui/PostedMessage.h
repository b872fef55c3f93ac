#pragma once

// Window messages: a number and two parameters, posted to a window's queue
// and delivered by the event loop of the window's thread, first in, first
// out together with the toolkit's own posted events.
//
// A message travels as a TMessageEvent. Queued messages are also recorded
// here so that TakeQueuedMessage can take one out of the queue before the
// event loop gets to it; the event loop then skips it. That needs
// km::TApplication, whose notify() asks BeginDelivery for every message.

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <optional>

class QThread;

namespace km {

// Message numbers the toolkit layer itself knows.
inline constexpr uint32_t WM_CLOSE = 0x0010;       // close the window (QWidget::close)
inline constexpr uint32_t WM_NEXTDLGCTL = 0x0028;  // move the focus to the next control
inline constexpr uint32_t CM_RELEASE = 0xB021;     // free the window (TKmForm::Release)

struct TQueuedMessage;

struct TMessage {
    uint32_t Msg = 0;
    intptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

class TMessageEvent : public QEvent {
  public:
    // The one event type of every message.
    static QEvent::Type EventType();

    explicit TMessageEvent(const TMessage& message);
    ~TMessageEvent() override;
    TMessageEvent(const TMessageEvent&) = delete;
    TMessageEvent& operator=(const TMessageEvent&) = delete;

    TMessage& Message() { return fMessage; }

    // Called by the application just before the event loop delivers this
    // event: false when the message was already taken out of the queue and
    // must not be delivered again.
    bool BeginDelivery();

  private:
    friend void PostMessage(QObject*, uint32_t, intptr_t, intptr_t);
    friend std::optional<TQueuedMessage> TakeQueuedMessage(uint32_t, uint32_t);

    TMessage fMessage;
    QObject* fTarget = nullptr;  // not owned; set while queued
    QThread* fThread = nullptr;  // the thread whose queue holds the message
    bool fQueued = false;
    bool fTaken = false;
};

// Posts a message to target's queue; returns at once. Any thread may call it.
// The receiver handles it in its event() (TKmForm::MessageHandler).
void PostMessage(QObject* target, uint32_t msg, intptr_t wParam = 0, intptr_t lParam = 0);

// Delivers a message to target now and returns the message with the
// receiver's Result. Target's thread only.
TMessage SendMessage(QObject* target, uint32_t msg, intptr_t wParam = 0, intptr_t lParam = 0);

struct TQueuedMessage {
    QObject* Target = nullptr;
    TMessage Message;
};

// Takes the first message with a number in [low, high] out of the calling
// thread's queue, or nothing. The target stays alive at least until the
// caller returns to the event loop.
std::optional<TQueuedMessage> TakeQueuedMessage(uint32_t low, uint32_t high);

}  // namespace km
