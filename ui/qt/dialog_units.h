// Dialog units to pixels, as the Windows dialog manager converts them: the horizontal base
// unit is the dialog font's average width of the 52 Latin letters, rounded; the vertical base
// unit is the font's character height. x and widths are in quarters of the first, y and
// heights in eighths of the second.
#pragma once

#include <QFont>
#include <QRect>

namespace lumo::qt {

struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

DialogBaseUnits BaseUnitsOf(const QFont& font);

// a * b / c rounded half away from zero, as Windows' MulDiv.
int MulDiv(int a, int b, int c);

QRect MapDialogRect(const QRect& du, DialogBaseUnits units);

// The pixel size of a font of `points` on a screen of `dpi` dots per inch, rounded.
int PointsToPixels(int points, int dpi);

}  // namespace lumo::qt
