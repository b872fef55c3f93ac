#pragma once

// A keystroke buffer: while it exists it takes every key press and release
// out of the event loop; Release posts them again, in order, to the control
// that has the focus then. A window and the windows it opens share one.
//
// Main thread only.

#include <QKeyEvent>

#include <memory>
#include <vector>

#include "common/ui/Application.h"

namespace km {

class TKeyEventsCatcher {
  public:
    TKeyEventsCatcher();
    TKeyEventsCatcher(const TKeyEventsCatcher&) = delete;
    TKeyEventsCatcher& operator=(const TKeyEventsCatcher&) = delete;

    size_t Count() const { return fEvents.size(); }

    // Stops catching and posts the caught keystrokes to the focused control
    // (dropped when none has the focus); logs "Fast typing detected: Number
    // of recovered keystrokes: " with their number when there were any.
    void Release();
    // Stops catching and drops the caught keystrokes.
    void Dismiss();

  private:
    std::unique_ptr<TApplicationEvents> fListener;
    std::vector<std::unique_ptr<QKeyEvent>> fEvents;
};

}  // namespace km
