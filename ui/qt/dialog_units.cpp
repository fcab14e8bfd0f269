#include "ui/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <cstdint>

namespace lumo::qt {

int MulDiv(int a, int b, int c) {
    const std::int64_t p = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = (c < 0 ? -c : c) / 2;
    const std::int64_t r = ((p < 0) != (c < 0)) ? (p - half) / c : (p + half) / c;
    return static_cast<int>(r);
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, metrics.ascent() + metrics.descent()};
}

QRect MapDialogRect(const QRect& du, DialogBaseUnits units) {
    return {MulDiv(du.x(), units.x, 4), MulDiv(du.y(), units.y, 8), MulDiv(du.width(), units.x, 4),
            MulDiv(du.height(), units.y, 8)};
}

int PointsToPixels(int points, int dpi) { return MulDiv(points, dpi, 72); }

}  // namespace lumo::qt
