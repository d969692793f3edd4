#include "ConsoleIcons.h"

#include "ActiveButton.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kelvra::ConsoleIcons {

namespace {

template <class Draw> QIcon Paint(int size, Draw&& draw) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    return QIcon(pixmap);
}

// A speech bubble with its tail at the lower left.
QPainterPath Bubble(const QRectF& r) {
    QPainterPath path;
    path.addRoundedRect(r, r.height() * 0.35, r.height() * 0.35);
    QPainterPath tail;
    tail.moveTo(r.left() + r.width() * 0.2, r.bottom() - 1);
    tail.lineTo(r.left() + r.width() * 0.1, r.bottom() + r.height() * 0.35);
    tail.lineTo(r.left() + r.width() * 0.45, r.bottom() - 1);
    tail.closeSubpath();
    return path.united(tail);
}

QIcon Arrow(const QColor& colour, bool down) {
    return Paint(16, [&](QPainter& p) {
        QPolygonF arrow;
        arrow << QPointF(5, 1) << QPointF(11, 1) << QPointF(11, 8) << QPointF(15, 8)
              << QPointF(8, 15) << QPointF(1, 8) << QPointF(5, 8);
        if (!down)
            for (QPointF& pt : arrow)
                pt.setY(16 - pt.y());
        p.setPen(QPen(colour.darker(160), 1));
        p.setBrush(colour);
        p.drawPolygon(arrow);
    });
}

QIcon Cross(int size) {
    return Paint(size, [size](QPainter& p) {
        p.setPen(QPen(QColor(200, 30, 30), size / 6.0, Qt::SolidLine, Qt::RoundCap));
        const double m = size * 0.25;
        p.drawLine(QPointF(m, m), QPointF(size - m, size - m));
        p.drawLine(QPointF(size - m, m), QPointF(m, size - m));
    });
}

QIcon Tick(int size) {
    return Paint(size, [size](QPainter& p) {
        p.setPen(QPen(QColor(30, 150, 40), size / 6.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPolygonF tick;
        tick << QPointF(size * 0.2, size * 0.55) << QPointF(size * 0.42, size * 0.78)
             << QPointF(size * 0.82, size * 0.25);
        p.drawPolyline(tick);
    });
}

} // namespace

void PaintApp(QPainter& p, const QRectF& target) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(target.topLeft());
    p.scale(target.width() / 32.0, target.height() / 32.0);
    p.setPen(QPen(QColor(20, 50, 110), 1.2));
    p.setBrush(QColor(70, 130, 220));
    p.drawPath(Bubble(QRectF(1.5, 2.5, 21, 14)));
    p.setPen(QPen(QColor(150, 70, 0), 1.2));
    p.setBrush(QColor(250, 160, 40));
    const QTransform mirror(-1, 0, 0, 1, 32, 0);
    p.drawPath(mirror.map(Bubble(QRectF(2.5, 13.5, 20, 13))));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int i = 0; i < 3; ++i)
        p.drawEllipse(QPointF(7 + i * 5, 9.5), 1.6, 1.6);
    p.restore();
}

QIcon App() {
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(Paint(size, [size](QPainter& p) {
                           PaintApp(p, QRectF(0, 0, size, size));
                       }).pixmap(size));
    return icon;
}

QIcon Incoming() {
    return Arrow(QColor(40, 170, 60), true);
}
QIcon Outgoing() {
    return Arrow(QColor(50, 110, 220), false);
}

QIcon Error() {
    return Paint(16, [](QPainter& p) {
        p.setPen(QPen(QColor(120, 0, 0), 1));
        p.setBrush(QColor(215, 40, 40));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 4.5), QPointF(8, 8.5));
        p.drawPoint(QPointF(8, 11.5));
    });
}

QIcon Clear() {
    return Paint(16, [](QPainter& p) {
        // A sheet with its lines being wiped away.
        p.setPen(QPen(QColor(90, 90, 90), 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(2.5, 1.5, 10, 13));
        p.setPen(QPen(QColor(150, 150, 150), 1));
        for (int y = 4; y <= 8; y += 2)
            p.drawLine(QPointF(4.5, y + 0.5), QPointF(10.5, y + 0.5));
        p.setPen(QPen(QColor(200, 30, 30), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 9), QPointF(14, 15));
        p.drawLine(QPointF(14, 9), QPointF(8, 15));
    });
}

QIcon ForButtonKind(TButtonKind kind) {
    switch (kind) {
    case TButtonKind::Ok:
    case TButtonKind::Yes:
        return Tick(16);
    case TButtonKind::Cancel:
    case TButtonKind::No:
    case TButtonKind::Abort:
        return Cross(16);
    default:
        return QIcon();
    }
}

} // namespace kelvra::ConsoleIcons
