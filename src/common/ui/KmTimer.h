#pragma once

// A timer as the windows expect it: it runs while it is enabled, has an
// interval above 0 and a handler; changing the interval or switching it on
// again starts the count anew, also from inside its own handler, so each
// interval can differ from the one before. An interval of 0 never fires.
//
// Its ticks are timer events that pass through the application's listeners,
// so an open error box holds them back (TFatalErrorAppEvents). An exception
// from the handler goes to the application's exception handling.
//
// Main thread (the thread of its owner) only.

#include <QBasicTimer>
#include <QObject>

#include <functional>

namespace km {

class TKmTimer : public QObject {
  public:
    // The owner (optional) frees the timer with itself.
    explicit TKmTimer(QObject* owner = nullptr);

    bool Enabled() const { return fEnabled; }
    void SetEnabled(bool enabled);
    // Milliseconds.
    int Interval() const { return fInterval; }
    void SetInterval(int interval);
    void SetOnTimer(std::function<void()> onTimer);

    // Whether the timer is counting towards its next tick.
    bool IsActive() const { return fTimer.isActive(); }

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    void Update();

    QBasicTimer fTimer;
    bool fEnabled = true;
    int fInterval = 1000;
    std::function<void()> fOnTimer;
};

}  // namespace km
