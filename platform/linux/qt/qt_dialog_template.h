// The main window's template: every control with its kind, initial text,
// alignment and rectangle in dialog units, in creation (= tab) order; and the
// conversion of dialog units to pixels the way the Windows dialog manager
// does it, so the window keeps its proportions with any font and resolution.
#pragma once

#include <QFont>
#include <QRect>
#include <span>

namespace skewmon::platform {

enum class ControlKind {
    kListBox,
    kPushButton,
    kDefaultPushButton,
    kStatic,
    kGroupBox,
    kIcon,
    kEdit,
    kComboBox,
    kLink,
};

enum class TextAlign { kLeft, kRight, kCenter };

struct DialogRect {
    int x, y, width, height;
};

struct ControlTemplate {
    int id;  // -1: a fixed label nothing addresses
    ControlKind kind;
    const char* text;
    DialogRect rect;
    TextAlign align = TextAlign::kLeft;
    bool centreVertically = false;  // single line, vertically centred
    bool tabStop = false;
    bool initiallyEnabled = true;
};

inline constexpr int kDialogWidthUnits = 259;
inline constexpr int kDialogHeightUnits = 322;

std::span<const ControlTemplate> MainDialogTemplate();

// A dialog font's base units: the average character width and the character
// height in pixels. A horizontal dialog unit is a quarter of the first, a
// vertical one an eighth of the second.
struct DialogUnits {
    int averageWidth = 0;
    int height = 0;

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(const DialogRect& rect) const;
};

// Measured the way Windows measures a dialog font: the width of the 52 Latin
// letters divided by 52, rounded, and the font's height.
DialogUnits MeasureDialogUnits(const QFont& font);

// number * numerator / denominator, rounded half away from zero.
int MulDiv(int number, int numerator, int denominator);

}  // namespace skewmon::platform
