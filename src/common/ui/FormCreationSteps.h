#pragma once

// The steps that make a freshly built window ready: its texts through the
// message catalogue and its sizes for the screen's dots per inch.

namespace km {
class TKmForm;
}
class QWidget;

namespace km {

// Replaces every text of root and of every object below it by the
// catalogue's translation (km::Tr); a text without translation stays. Texts
// are the QString properties that are stored and writable (window titles,
// label and button texts, tool tips, wizard page titles, ...) except names,
// style sheets and input masks, plus the items of combo boxes and list
// widgets and the tab texts of tab widgets.
void TranslateWidgetTexts(QWidget& root);

// Multiplies left, top, width and height of every tool bar below root by
// factor, rounded to whole pixels. Tool bars inside nested containers are
// found too; nothing else changes.
void ScaleToolbars(QWidget& root, double factor);

// Scales root's size, the geometry of every widget below it and every font
// size set explicitly by factor.
void ScaleWidgetTree(QWidget& root, double factor);

}  // namespace km
