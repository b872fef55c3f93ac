#include "common/ui/KmForm.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>

#include <cmath>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/Translate.h"
#include "common/ui/FormCreationSteps.h"
#include "common/ui/FormPlacement.h"
#include "common/ui/KeyEventsCatcher.h"

namespace km {
namespace {

// The busy token; it only needs an identity.
class TProcessingToken : public IProcessing {};

bool IsPanel(const QWidget& widget) {
    const QMetaObject* meta = widget.metaObject();
    return meta == &QWidget::staticMetaObject || meta == &QFrame::staticMetaObject ||
           std::string_view(meta->className()) == "QGroupBox";
}

}  // namespace

TKmForm::TKmForm(QWidget* parent) : QWidget(parent, Qt::Window) {}

TKmForm::~TKmForm() {
    if (fIdleConnection) {
        disconnect(fIdleConnection);
    }
}

void TKmForm::RunCreationSteps() {
    if (fCreated) {
        return;
    }
    fCreated = true;
    DoCreate();
}

void TKmForm::DoCreate() {
    if (fAutoTranslate) {
        try {
            TranslateWidgetTexts(*this);
        } catch (...) {
            ReportCurrentException();
        }
    }
    if (!fNoAutoInitToolbars) {
        try {
            ScaleToolbars(*this, ScreenDotsPerInch() / 96.0);
        } catch (...) {
            ReportCurrentException();
        }
    }
    try {
        FormCreate();
    } catch (...) {
        ReportCurrentException();
    }
}

double TKmForm::ScreenDotsPerInch() const {
    const QScreen* s = screen();
    return s != nullptr ? s->logicalDotsPerInch() : 96.0;
}

void TKmForm::PostMessage(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    km::PostMessage(this, msg, wParam, lParam);
}

void TKmForm::Release() {
    if (!fOwnedByApplication) {
        throw EInternalError("Release needs a window created by TKmForm::CreateForm");
    }
    PostMessage(CM_RELEASE);
}

bool TKmForm::event(QEvent* event) {
    if (event->type() == TMessageEvent::EventType()) {
        TMessage& msg = static_cast<TMessageEvent*>(event)->Message();
        if (msg.Msg == CM_RELEASE) {
            delete this;  // as Qt's own deferred delete does; nothing touches this afterwards
            return true;
        }
        try {
            return MessageHandler(msg);
        } catch (...) {
            ReportCurrentException();
            return true;
        }
    }
    if (event->type() == QEvent::WindowUnblocked) {
        // A modal window that blocked this one has gone: the system enables it.
        const bool result = QWidget::event(event);
        KeepDisabledIfBlocked();
        return result;
    }
    return QWidget::event(event);
}

bool TKmForm::MessageHandler(TMessage& msg) {
    switch (msg.Msg) {
        case UM_AFTERSHOW:
            DoAfterShow();
            return true;
        case UM_KEEPDISABLED:
            setEnabled(false);
            return true;
        case WM_CLOSE:
            close();
            return true;
        case WM_NEXTDLGCTL:
            focusNextChild();
            return true;
        default:
            return false;
    }
}

void TKmForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;  // restored from minimised: not a new show
    }
    try {
        FormShow();
    } catch (...) {
        ReportCurrentException();
    }
    PostMessage(UM_AFTERSHOW);
}

void TKmForm::DoAfterShow() {
    if (fAfterShow) {
        fAfterShow(*this);
    }
}

void TKmForm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (fModalLoop != nullptr && !event->spontaneous()) {
        fModalLoop->quit();
    }
}

void TKmForm::closeEvent(QCloseEvent* event) {
    try {
        if (!CloseQuery()) {
            event->ignore();
            return;
        }
        TCloseAction action = TCloseAction::caHide;
        FormClose(action);
        switch (action) {
            case TCloseAction::caNone:
                event->ignore();
                break;
            case TCloseAction::caHide:
                event->accept();
                break;
            case TCloseAction::caFree:
                event->accept();
                Release();
                break;
            case TCloseAction::caMinimize:
                event->ignore();
                showMinimized();
                break;
        }
    } catch (...) {
        event->ignore();
        ReportCurrentException();
    }
}

bool TKmForm::CloseQuery() {
    if (!fCloseOnIdle) {
        return FormCloseQuery();
    }
    if (fCloseRunning) {
        return fAllowClose;
    }
    if (fMustClose) {
        return false;  // a close is already pending
    }
    if (FormCloseQuery()) {
        fMustClose = true;
        CloseWhenIdle();
    }
    return false;
}

void TKmForm::SetCloseOnIdle(bool value) {
    if (IsModal()) {
        throw EInternalError("CloseOnIdle does not work on modal forms");
    }
    fCloseOnIdle = value;
    if (!value) {
        fMustClose = false;
    }
}

void TKmForm::CloseWhenIdle() {
    if (fIdleConnection) {
        return;
    }
    // The dispatcher is about to wait for new events: the loop is idle.
    fIdleConnection = connect(QAbstractEventDispatcher::instance(),
                              &QAbstractEventDispatcher::aboutToBlock, this, [this] {
                                  if (!fMustClose || fIdleClosePending) {
                                      return;
                                  }
                                  fIdleClosePending = true;
                                  QMetaObject::invokeMethod(
                                      this,
                                      [this] {
                                          fIdleClosePending = false;
                                          if (!fMustClose) {
                                              return;
                                          }
                                          fCloseRunning = true;
                                          fAllowClose = true;
                                          close();
                                          fCloseRunning = false;
                                          fAllowClose = false;
                                          fMustClose = false;
                                      },
                                      Qt::QueuedConnection);
                              });
}

void TKmForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        KeepDisabledIfBlocked();
    }
}

void TKmForm::KeepDisabledIfBlocked() {
    if (fBlockEnable && isEnabled()) {
        PostMessage(UM_KEEPDISABLED);
    }
}

void TKmForm::keyPressEvent(QKeyEvent* event) {
    bool swallowed = false;
    try {
        swallowed = KeyPress(*event);
    } catch (...) {
        ReportCurrentException();
        swallowed = true;
    }
    if (swallowed) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TKmForm::KeyPress(QKeyEvent& event) {
    if (!fNextControlOnEnter || (event.key() != Qt::Key_Return && event.key() != Qt::Key_Enter)) {
        return false;
    }
    QWidget* focus = focusWidget();
    if (qobject_cast<QAbstractButton*>(focus) != nullptr ||
        qobject_cast<QTextEdit*>(focus) != nullptr ||
        qobject_cast<QPlainTextEdit*>(focus) != nullptr) {
        return false;
    }
    PostMessage(WM_NEXTDLGCTL);
    return true;
}

void TKmForm::SetActiveControl(QWidget* control) {
    if (IsProcessing()) {
        fNextActiveControl = control;
        return;
    }
    FocusControl(control);
}

void TKmForm::FocusControl(QWidget* control) {
    if (control == nullptr) {
        return;
    }
    if (!control->isVisible() || !control->isEnabled() || control->focusPolicy() == Qt::NoFocus) {
        DebugWarning("Cannot set focus to control " + control->objectName().toStdString());
        return;
    }
    control->setFocus();
}

TProcessing TKmForm::StartProcessing(bool bDisableControls, bool bForceNotIsRunning) {
    if (fProcessing) {
        if (bForceNotIsRunning) {
            throw EInternalError("processing already started");
        }
        DebugLog("processing already started", {}, 4);
        return nullptr;
    }
    if (bDisableControls) {
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            KM_ASSERT_MSG(IsPanel(*child), "not all controls on the form '" +
                                               objectName().toStdString() + "' are disabled");
            if (child->isEnabled()) {
                child->setEnabled(false);
                fPanelsDisabledByStartProcessing.emplace_back(child);
            }
        }
    }
    fProcessing = std::make_shared<TProcessingToken>();
    return fProcessing;
}

void TKmForm::EndProcessing(const TProcessing& processing) {
    if (!processing || processing != fProcessing) {
        return;
    }
    fProcessing.reset();
    for (auto& panel : fPanelsDisabledByStartProcessing) {
        if (panel) {
            panel->setEnabled(true);
        }
    }
    fPanelsDisabledByStartProcessing.clear();
    QPointer<QWidget> next = fNextActiveControl;
    fNextActiveControl.clear();
    if (next && isActiveWindow()) {
        FocusControl(next);
    }
}

void TKmForm::DoProcessing(const std::function<void()>& proc, bool bDisableControls,
                           bool bForceNotIsRunning) {
    const TProcessing processing = StartProcessing(bDisableControls, bForceNotIsRunning);
    try {
        proc();
    } catch (...) {
        EndProcessing(processing);
        throw;
    }
    EndProcessing(processing);
}

void TKmForm::CheckControl(QWidget* control, bool bCheck, const std::string& sMsg,
                           const char* defaultMsg) {
    if (bCheck) {
        return;
    }
    SetActiveControl(control);
    throw EInputError(sMsg.empty() ? Tr(defaultMsg) : sMsg);
}

void TKmForm::CheckControlOK(QWidget* control, bool bCheck, const std::string& sMsg) {
    CheckControl(control, bCheck, sMsg, TrNoop("Ihre Eingabe ist nicht korrekt!"));
}

void TKmForm::CheckControlNotEmpty(QWidget* control, bool bCheck, const std::string& sMsg) {
    CheckControl(control, bCheck, sMsg, TrNoop("Ihre Eingabe ist unvollständig!"));
}

void TKmForm::ScaleAllByDPI() {
    const double factor = std::round(ScreenDotsPerInch() / 96.0 * 100.0) / 100.0;
    if (factor != 1.0) {
        ScaleWidgetTree(*this, factor);
    }
}

int TKmForm::HidePanel(QWidget* panel) {
    if (panel == nullptr || !panel->isVisible()) {
        return 0;
    }
    const int height = panel->height();
    panel->hide();
    resize(width(), this->height() - height);
    return height;
}

int TKmForm::ShowModal(QWidget* parentView) {
    if (parentView != nullptr) {
        TKmForm* parentForm = GetFormOrParentForm(parentView);
        if (parentForm == nullptr) {
            DebugError("Cannot find VCL parent for view.");
        } else if (parentForm->fKeyEventsCatcher) {
            fKeyEventsCatcher = parentForm->fKeyEventsCatcher;
        }
    }
    QEventLoop loop;
    fModalLoop = &loop;
    fModalResult = 0;
    setWindowModality(Qt::ApplicationModal);
    show();
    if (isVisible()) {
        loop.exec(QEventLoop::DialogExec);
    }
    fModalLoop = nullptr;
    setWindowModality(Qt::NonModal);
    return fModalResult;
}

void TKmForm::SetModalResult(int result) {
    fModalResult = result;
    if (result != 0 && IsModal()) {
        close();
    }
}

bool TKmForm::ExistsOpenModalDialogs() {
    return QApplication::activeModalWidget() != nullptr;
}

TKmForm* TKmForm::GetFormOrParentForm(QWidget* widget) {
    for (QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        if (auto* form = qobject_cast<TKmForm*>(w)) {
            return form;
        }
    }
    return nullptr;
}

void TKmForm::LoadFormPosition() {
    LoadFormPlacement(*this);
}

void TKmForm::SaveFormPosition() {
    if (!SaveFormPlacement(*this)) {
        DebugError("Error saving form position: cannot write " + FormPlacementKey(*this));
    }
}

void TKmForm::CatchKeyEvents() {
    if (!fKeyEventsCatcher) {
        fKeyEventsCatcher = std::make_shared<TKeyEventsCatcher>();
    }
}

void TKmForm::ReleaseCatchedKeyEvents() {
    if (auto catcher = std::move(fKeyEventsCatcher)) {
        catcher->Release();
    }
}

void TKmForm::DismissCatchedKeyEvents() {
    if (auto catcher = std::move(fKeyEventsCatcher)) {
        catcher->Dismiss();
    }
}

QWidget* TKmForm::FindControlForField(const std::string& field) const {
    return findChild<QWidget*>(QString::fromStdString(field));
}

void TKmForm::SetControlText(const std::string& field, const std::string& text) {
    QWidget* control = FindControlForField(field);
    if (control == nullptr) {
        throw EInternalError("Cannot find control: " + field);
    }
    for (const char* property : {"text", "plainText", "currentText"}) {
        if (control->metaObject()->indexOfProperty(property) >= 0) {
            control->setProperty(property, QString::fromStdString(text));
            return;
        }
    }
    throw EInternalError("Cannot find control: " + field);
}

void TKmForm::SetSubForm(const std::string& /*field*/, QWidget* /*subForm*/) {
    throw EInternalError("View must override SetSubForm and call AView.SetAsSubForm(Xxx)");
}

void TKmForm::SetAsSubForm(QWidget* /*container*/) {
    throw ENotImplementedException("TkmForm.SetAsSubForm is not implemented for VCL");
}

void TKmForm::SetControlItems(const std::string& field, const std::vector<std::string>& items) {
    QWidget* control = FindControlForField(field);
    if (control == nullptr) {
        throw EInternalError("Cannot find control: " + field);
    }
    QStringList list;
    for (const auto& item : items) {
        list << QString::fromStdString(item);
    }
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        combo->clear();
        combo->addItems(list);
    } else if (auto* listWidget = qobject_cast<QListWidget*>(control)) {
        listWidget->clear();
        listWidget->addItems(list);
    } else {
        throw EInternalError("Cannot set item for control: " + field);
    }
}

}  // namespace km
