#pragma once

// The wizard control of our windows: pages that fill the area above a button
// bar, each page with a header (title and subtitle on a white band) above its
// own controls. Only what the windows of this program need: the buttons Next
// and Cancel, the page-entered event and the two cancel events.
//
// Layout: the button bar is kButtonBarHeight high at the bottom, its buttons
// kButtonWidth x kButtonHeight, right-aligned, Cancel last. Controls placed
// on a page use page coordinates; the header occupies its top
// kHeaderHeight pixels.
//
// Main thread only.

#include <QWidget>

#include <functional>
#include <vector>

class QFrame;
class QLabel;
class QPushButton;

class TWizard;

enum class TWizardButton { Next = 1, Cancel = 2 };

class TWizardPage : public QWidget {
  public:
    // A page of wizard, hidden until it becomes the active page.
    explicit TWizardPage(TWizard& wizard);

    // The header texts; translated with the window like any label text.
    void SetTitle(const QString& title);
    void SetSubtitle(const QString& subtitle);
    QLabel& TitleLabel() const { return *fTitle; }
    QLabel& SubtitleLabel() const { return *fSubtitle; }

    // Which of the bar's buttons the page shows, and which of those accept
    // clicks. Both default to Next and Cancel.
    void SetButtonVisible(TWizardButton button, bool visible);
    void SetButtonEnabled(TWizardButton button, bool enabled);
    bool ButtonVisible(TWizardButton button) const;
    bool ButtonEnabled(TWizardButton button) const;

    // Fired when the page is activated in a visible window.
    std::function<void(TWizardPage& sender)> OnPage;
    // Fired first when Cancel is pressed on this page; setting stop keeps
    // the wizard's own cancel event from firing.
    std::function<void(QObject* sender, bool& stop)> OnCancelButtonClick;

  private:
    friend class TWizard;

    // Places the header across a page of this width.
    void LayOutHeader(int width);

    TWizard& fWizard;
    QFrame* fHeader;      // owned by the page (Qt parent)
    QLabel* fTitle;       // owned by the header
    QLabel* fSubtitle;    // owned by the header
    QFrame* fHeaderLine;  // owned by the page
    int fVisibleButtons;
    int fEnabledButtons;
};

class TWizard : public QWidget {
  public:
    static constexpr int kButtonBarHeight = 42;
    static constexpr int kButtonWidth = 75;
    static constexpr int kButtonHeight = 25;
    static constexpr int kHeaderHeight = 70;

    // Fills parent's client area.
    explicit TWizard(QWidget& parent);

    TWizardPage* ActivePage() const { return fActivePage; }
    // Shows page and hides the others. In a visible window the page also
    // takes the focus and fires OnPage; in a hidden one it only becomes the
    // page to show.
    void SetActivePage(TWizardPage& page);

    QPushButton& NextButton() const { return *fNext; }
    QPushButton& CancelButton() const { return *fCancel; }

    // Fired when Cancel is pressed (button or Escape), after the active
    // page's event unless that set stop.
    std::function<void(QObject* sender)> OnCancelButtonClick;

    // Brings the bar's buttons in line with the active page's settings.
    void UpdateButtons();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    // Escape presses Cancel, as a dialog's cancel button does.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    friend class TWizardPage;

    void LayOut();
    void CancelClicked();

    std::vector<TWizardPage*> fPages;  // children, in order of creation

    TWizardPage* fActivePage = nullptr;  // one of the children
    QFrame* fBevel;                      // line above the button bar; child
    QPushButton* fNext;                  // child
    QPushButton* fCancel;                // child
};
