#pragma once

// A progress bar that moves on its own, driven by nothing but an estimated
// duration: quickly at first and ever more slowly, so that it never claims to
// be done before the work is. On its own it stops at maximum - 4; whoever
// knows the work has ended sets the position to the maximum, and the next
// tick then stops the animation.
//
// Main thread only.

class QProgressBar;

namespace km {
class TKmTimer;
}

// Sets the bar to 0..max at position 1 and starts a timer owned by the bar
// (it lives as long as the bar) whose first interval is
// FirstTimedProgressInterval(seconds, max) and whose ticks run
// TimedProgressStep. A first interval of 0 never fires: the bar stays at 1.
void StartTimedProgress(QProgressBar& bar, int max, double seconds);

// One tick: a bar at 0 or at its maximum switches the timer off and stays;
// otherwise the bar advances by 1 and the timer gets
// NextTimedProgressInterval for the remaining steps, or is switched off when
// no more than 4 remain.
void TimedProgressStep(QProgressBar& bar, km::TKmTimer& timer);

// trunc(seconds * 1000 / max) milliseconds; 0 for max <= 0.
int FirstTimedProgressInterval(double seconds, int max);

// The interval after a step that left `remaining` steps (> 4):
// interval * (remaining + 2) / remaining milliseconds, truncated toward zero.
// Computed in integers, so that no rounding of a decimal fraction can take a
// millisecond off.
int NextTimedProgressInterval(int interval, int remaining);
