#include "Wizard.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "common/base/Translate.h"
#include "common/ui/Application.h"

namespace {

constexpr int kAllButtons =
    static_cast<int>(TWizardButton::Next) | static_cast<int>(TWizardButton::Cancel);

// Only size and weight: the family follows the window's font.
QFont HeaderFont(int pixelSize, bool bold) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

}  // namespace

TWizardPage::TWizardPage(TWizard& wizard)
    : QWidget(&wizard),
      fWizard(wizard),
      fHeader(new QFrame(this)),
      fTitle(new QLabel(fHeader)),
      fSubtitle(new QLabel(fHeader)),
      fHeaderLine(new QFrame(this)),
      fVisibleButtons(kAllButtons),
      fEnabledButtons(kAllButtons) {
    hide();
    wizard.fPages.push_back(this);
    fHeader->setObjectName("Header");
    fHeader->setAutoFillBackground(true);
    QPalette palette = fHeader->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    fHeader->setPalette(palette);
    fTitle->setObjectName("HeaderTitle");
    fTitle->setFont(HeaderFont(16, true));
    fSubtitle->setObjectName("HeaderSubtitle");
    fSubtitle->setFont(HeaderFont(11, false));
    fSubtitle->setWordWrap(true);
    fSubtitle->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fHeaderLine->setObjectName("HeaderLine");
    fHeaderLine->setFrameShape(QFrame::HLine);
    fHeaderLine->setFrameShadow(QFrame::Sunken);
}

void TWizardPage::LayOutHeader(int width) {
    const int textLeft = 16;
    fHeader->setGeometry(0, 0, width, TWizard::kHeaderHeight);
    fTitle->setGeometry(textLeft, 10, width - 2 * textLeft, 20);
    fSubtitle->setGeometry(2 * textLeft, 34, width - 3 * textLeft, TWizard::kHeaderHeight - 36);
    fHeaderLine->setGeometry(0, TWizard::kHeaderHeight, width, 2);
}

void TWizardPage::SetTitle(const QString& title) {
    fTitle->setText(title);
}

void TWizardPage::SetSubtitle(const QString& subtitle) {
    fSubtitle->setText(subtitle);
}

void TWizardPage::SetButtonVisible(TWizardButton button, bool visible) {
    fVisibleButtons = visible ? fVisibleButtons | static_cast<int>(button)
                              : fVisibleButtons & ~static_cast<int>(button);
    fWizard.UpdateButtons();
}

void TWizardPage::SetButtonEnabled(TWizardButton button, bool enabled) {
    fEnabledButtons = enabled ? fEnabledButtons | static_cast<int>(button)
                              : fEnabledButtons & ~static_cast<int>(button);
    fWizard.UpdateButtons();
}

bool TWizardPage::ButtonVisible(TWizardButton button) const {
    return (fVisibleButtons & static_cast<int>(button)) != 0;
}

bool TWizardPage::ButtonEnabled(TWizardButton button) const {
    return (fEnabledButtons & static_cast<int>(button)) != 0;
}

TWizard::TWizard(QWidget& parent)
    : QWidget(&parent),
      fBevel(new QFrame(this)),
      fNext(new QPushButton(this)),
      fCancel(new QPushButton(this)) {
    fBevel->setObjectName("ButtonBarBevel");
    fBevel->setFrameShape(QFrame::HLine);
    fBevel->setFrameShadow(QFrame::Sunken);
    fNext->setObjectName("ButtonNext");
    fNext->setText(km::TrNoop("&Weiter >"));
    fCancel->setObjectName("ButtonCancel");
    fCancel->setText(km::TrNoop("Abbrechen"));
    connect(fCancel, &QPushButton::clicked, this, [this] {
        // Qt must not see our exceptions: they go to the application's handling.
        try {
            CancelClicked();
        } catch (...) {
            km::ReportCurrentException();
        }
    });
    setGeometry(parent.contentsRect());
    UpdateButtons();
}

void TWizard::SetActivePage(TWizardPage& page) {
    for (TWizardPage* other : fPages) {
        if (other != &page) {
            other->hide();
        }
    }
    fActivePage = &page;
    LayOut();
    page.show();
    UpdateButtons();
    if (window()->isVisible()) {
        page.setFocus();
        if (page.OnPage) {
            page.OnPage(page);
        }
    }
}

void TWizard::UpdateButtons() {
    const auto apply = [this](QPushButton& button, TWizardButton which) {
        button.setVisible(fActivePage != nullptr && fActivePage->ButtonVisible(which));
        button.setEnabled(fActivePage != nullptr && fActivePage->ButtonEnabled(which));
    };
    apply(*fNext, TWizardButton::Next);
    apply(*fCancel, TWizardButton::Cancel);
}

void TWizard::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
}

void TWizard::LayOut() {
    const int barTop = height() - kButtonBarHeight;
    for (TWizardPage* page : fPages) {
        page->setGeometry(0, 0, width(), barTop);
        page->LayOutHeader(width());
    }
    fBevel->setGeometry(0, barTop, width(), 2);
    const int buttonTop = barTop + (kButtonBarHeight - kButtonHeight) / 2;
    const int margin = 8;
    const int cancelLeft = width() - margin - kButtonWidth;
    fCancel->setGeometry(cancelLeft, buttonTop, kButtonWidth, kButtonHeight);
    fNext->setGeometry(cancelLeft - 2 * margin - kButtonWidth, buttonTop, kButtonWidth,
                       kButtonHeight);
}

void TWizard::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier &&
        fCancel->isVisible() && fCancel->isEnabled()) {
        event->accept();
        fCancel->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TWizard::CancelClicked() {
    bool stop = false;
    if (fActivePage != nullptr && fActivePage->OnCancelButtonClick) {
        fActivePage->OnCancelButtonClick(fCancel, stop);
    }
    if (!stop && OnCancelButtonClick) {
        OnCancelButtonClick(fCancel);
    }
}
