#pragma once

// Helpers of the window tests: answering modal message boxes, running the
// event loop until something happened, switching the catalogue's language.

#include <QMessageBox>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kmtest {

struct TSeenBox {
    std::string text;
    std::string caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// While it exists, every message box that becomes the active modal window is
// recorded and, after holdFor, its OK button is pressed. onBox(index) runs
// when a box is first seen, from inside the box's event loop.
class TBoxAnswerer {
  public:
    explicit TBoxAnswerer(std::function<void(size_t index)> onBox = {},
                          std::chrono::milliseconds holdFor = std::chrono::milliseconds(0));
    ~TBoxAnswerer();
    TBoxAnswerer(const TBoxAnswerer&) = delete;
    TBoxAnswerer& operator=(const TBoxAnswerer&) = delete;

    const std::vector<TSeenBox>& Boxes() const;

    struct State;

  private:
    std::shared_ptr<State> fState;
};

// Runs the event loop until condition holds; false if it never did (after a
// generous limit, so that a broken test fails instead of hanging).
bool ProcessEventsUntil(const std::function<bool()>& condition);

// Makes the message catalogue answer in language (glibc's LANGUAGE) from now.
void UseLanguage(const char* language);

// Restores LANGUAGE and the catalogue's answers when it goes.
class TLanguageGuard {
  public:
    TLanguageGuard();
    ~TLanguageGuard();
    TLanguageGuard(const TLanguageGuard&) = delete;
    TLanguageGuard& operator=(const TLanguageGuard&) = delete;

  private:
    std::optional<std::string> fOld;
};

}  // namespace kmtest
