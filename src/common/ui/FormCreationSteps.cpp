#include "common/ui/FormCreationSteps.h"

#include <QComboBox>
#include <QListWidget>
#include <QMetaProperty>
#include <QTabWidget>
#include <QToolBar>
#include <QWidget>

#include <cmath>
#include <cstring>

#include "common/base/Translate.h"

namespace km {
namespace {

// QString properties that are no text for the user.
bool IsExcludedProperty(const char* name) {
    for (const char* excluded : {"objectName", "styleSheet", "inputMask", "windowFilePath"}) {
        if (std::strcmp(name, excluded) == 0) {
            return true;
        }
    }
    return false;
}

QString Translated(const QString& text) {
    if (text.isEmpty()) {
        return text;
    }
    return QString::fromStdString(Tr(text.toStdString()));
}

void TranslateProperties(QObject& object) {
    const QMetaObject* meta = object.metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (property.metaType().id() != QMetaType::QString || !property.isWritable() ||
            !property.isStored() || IsExcludedProperty(property.name())) {
            continue;
        }
        const QString text = property.read(&object).toString();
        const QString translated = Translated(text);
        if (translated != text) {
            property.write(&object, translated);
        }
    }
}

void TranslateItems(QObject& object) {
    if (auto* combo = qobject_cast<QComboBox*>(&object)) {
        for (int i = 0; i < combo->count(); ++i) {
            combo->setItemText(i, Translated(combo->itemText(i)));
        }
    } else if (auto* list = qobject_cast<QListWidget*>(&object)) {
        for (int i = 0; i < list->count(); ++i) {
            list->item(i)->setText(Translated(list->item(i)->text()));
        }
    } else if (auto* tabs = qobject_cast<QTabWidget*>(&object)) {
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setTabText(i, Translated(tabs->tabText(i)));
        }
    }
}

int Scaled(int value, double factor) {
    return static_cast<int>(std::lround(value * factor));
}

QRect Scaled(const QRect& r, double factor) {
    return QRect(Scaled(r.left(), factor), Scaled(r.top(), factor), Scaled(r.width(), factor),
                 Scaled(r.height(), factor));
}

}  // namespace

void TranslateWidgetTexts(QWidget& root) {
    TranslateProperties(root);
    TranslateItems(root);
    for (QObject* child : root.findChildren<QObject*>()) {
        TranslateProperties(*child);
        TranslateItems(*child);
    }
}

void ScaleToolbars(QWidget& root, double factor) {
    for (QToolBar* toolbar : root.findChildren<QToolBar*>()) {
        toolbar->setGeometry(Scaled(toolbar->geometry(), factor));
    }
}

void ScaleWidgetTree(QWidget& root, double factor) {
    for (QWidget* child : root.findChildren<QWidget*>()) {
        child->setGeometry(Scaled(child->geometry(), factor));
        if (child->testAttribute(Qt::WA_SetFont)) {
            QFont font = child->font();
            if (font.pixelSize() > 0) {
                font.setPixelSize(Scaled(font.pixelSize(), factor));
            } else {
                font.setPointSizeF(font.pointSizeF() * factor);
            }
            child->setFont(font);
        }
    }
    root.resize(Scaled(root.width(), factor), Scaled(root.height(), factor));
}

}  // namespace km
