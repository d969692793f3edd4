#include "PicClip.h"

#include "ConsoleIcons.h"

#include <QBitmap>
#include <QImage>
#include <algorithm>

namespace kelvra {

TPicClip::TPicClip() : TPicClip(ConsoleIcons::UserIconSheet(), 10, 10) {}

TPicClip::TPicClip(QPixmap picture, int columns, int rows)
    : Sheet(std::move(picture)), Cols(std::max(1, columns)), RowCount(std::max(1, rows)) {
    if (!Sheet.isNull())
        Transparent = Sheet.toImage().pixelColor(0, Sheet.height() - 1);
}

QPixmap TPicClip::Cell(int n) const {
    if (Sheet.isNull() || n < 0 || n >= Cols * RowCount)
        return {};
    const int w = Sheet.width() / Cols;
    const int h = Sheet.height() / RowCount;
    QPixmap cell = Sheet.copy(n % Cols * w, n / Cols * h, w, h);
    cell.setMask(cell.createMaskFromColor(Transparent, Qt::MaskInColor));
    return cell;
}

} // namespace kelvra
