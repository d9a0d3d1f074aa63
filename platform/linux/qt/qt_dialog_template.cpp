#include "platform/linux/qt/qt_dialog_template.h"

#include <QFontMetrics>
#include <cstdlib>

#include "platform/controls.h"
#include "ui/main_dialog.h"

namespace skewmon::platform {
namespace {

using K = ControlKind;
using A = TextAlign;

// Field order: id, kind, text, rectangle, alignment, vertically centred, tab
// stop, enabled.
const ControlTemplate kTemplate[] = {
    {ctl::kResultsList, K::kListBox, "", {7, 47, 244, 128}, A::kLeft, false, true},
    {ctl::kMoreInfo, K::kPushButton, "&More Info", {7, 300, 50, 14}, A::kCenter, false, true},
    {ctl::kSaveResults, K::kPushButton, "Sa&ve Results", {59, 300, 50, 14}, A::kCenter, false, true, false},
    {ctl::kScan, K::kDefaultPushButton, "&Scan", {149, 300, 50, 14}, A::kCenter, false, true},
    {ctl::kClose, K::kPushButton, "&Close", {201, 300, 50, 14}, A::kCenter, false, true},
    {ctl::kHeading, K::kStatic, "Variance from %s", {8, 36, 229, 9}},
    {-1, K::kStatic, "Worst Variance:", {13, 191, 57, 8}, A::kRight, true},
    {-1, K::kStatic, "Avg Variance:", {13, 204, 57, 8}, A::kRight, true},
    {ctl::kWorst, K::kStatic, "", {76, 191, 168, 8}, A::kLeft, true},
    {ctl::kAverage, K::kStatic, "", {76, 204, 168, 8}, A::kLeft, true},
    {ctl::kResultsGroup, K::kGroupBox, "Results", {7, 178, 244, 116}},
    {-1, K::kIcon, "", {7, 7, 21, 20}},
    {ctl::kExplanation, K::kEdit, "", {13, 242, 231, 48}, A::kLeft, false, true},
    {ctl::kDomainSelector, K::kComboBox, "", {170, 15, 81, 75}, A::kLeft, false, true},
    {-1, K::kStatic, "Select Domain:", {172, 6, 79, 8}},
    {-1, K::kStatic, "Summary:", {13, 217, 57, 8}, A::kRight, true},
    {ctl::kSummary, K::kStatic, "", {76, 217, 168, 8}, A::kLeft, true},
    {-1, K::kStatic, "Recommendation:", {13, 230, 57, 8}, A::kRight, true},
    {ctl::kRecommendation, K::kStatic, "", {76, 230, 168, 8}, A::kLeft, true},
    {ctl::kWebLink, K::kLink, kMakerWebAddress, {39, 18, 117, 8}, A::kCenter, true},
    {ctl::kMaker, K::kStatic, "Quillmar", {39, 8, 117, 8}, A::kCenter, true},
};

}  // namespace

std::span<const ControlTemplate> MainDialogTemplate() { return kTemplate; }

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) return -1;
    const long long product = static_cast<long long>(number) * numerator;
    const long long half = std::llabs(denominator) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const long long magnitude = (std::llabs(product) + half) / std::llabs(denominator);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

int DialogUnits::toPixelsX(int units) const { return MulDiv(units, averageWidth, 4); }
int DialogUnits::toPixelsY(int units) const { return MulDiv(units, height, 8); }

QRect DialogUnits::toPixels(const DialogRect& rect) const {
    // Position and size are converted separately, as the dialog manager does
    // when it creates the controls.
    return QRect(toPixelsX(rect.x), toPixelsY(rect.y), toPixelsX(rect.width), toPixelsY(rect.height));
}

DialogUnits MeasureDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits{(letters / 26 + 1) / 2, metrics.height()};
}

}  // namespace skewmon::platform
