#pragma once
// A picture cut into a grid of equal cells, numbered row by row from 0. The
// colour of the picture's bottom-left pixel is transparent in every cell.
#include <QColor>
#include <QPixmap>

namespace kelvra {

class TPicClip {
public:
    // The user icon sheet: 10 x 10 cells of 16 x 16.
    TPicClip();
    TPicClip(QPixmap picture, int columns, int rows);

    QPixmap Picture() const { return Sheet; }
    int Columns() const { return Cols; }
    int Rows() const { return RowCount; }
    QColor TransparentColor() const { return Transparent; }
    // Cell n (column n mod Columns, row n div Columns) with the transparent
    // colour masked out; null outside the grid.
    QPixmap Cell(int n) const;

private:
    QPixmap Sheet;
    int Cols = 1;
    int RowCount = 1;
    QColor Transparent;
};

} // namespace kelvra
