#include "ConsoleIcons.h"

#include "ActiveButton.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

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

// A small window: frame, blue (or red) title bar, white body.
void Window(QPainter& p, const QColor& title) {
    p.setPen(QPen(title.darker(170), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(0.5, 1.5, 14, 12));
    p.setPen(Qt::NoPen);
    p.setBrush(title);
    p.drawRect(QRectF(1, 2, 14, 3));
}

// A hand pointing up, its fingertip at (x, y).
void Hand(QPainter& p, double x, double y) {
    p.setPen(QPen(QColor(110, 60, 20), 1));
    p.setBrush(QColor(250, 205, 150));
    QPolygonF hand;
    hand << QPointF(x - 1, y) << QPointF(x + 1, y) << QPointF(x + 1, y + 4) << QPointF(x + 5, y + 4)
         << QPointF(x + 5, y + 9) << QPointF(x - 3, y + 9) << QPointF(x - 3, y + 5)
         << QPointF(x - 1, y + 4);
    p.drawPolygon(hand);
}

void Padlock(QPainter& p, double x, double y) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(90, 90, 90), 1.5));
    p.drawArc(QRectF(x + 1.5, y, 5, 6), 0, 180 * 16);
    p.drawLine(QPointF(x + 1.5, y + 3), QPointF(x + 1.5, y + 5));
    p.drawLine(QPointF(x + 6.5, y + 3), QPointF(x + 6.5, y + 5));
    p.setPen(QPen(QColor(140, 100, 0), 1));
    p.setBrush(QColor(240, 190, 40));
    p.drawRect(QRectF(x + 0.5, y + 4.5, 8, 6));
}

void Person(QPainter& p, double x, double y, const QColor& shirt) {
    p.setPen(QPen(shirt.darker(180), 1));
    p.setBrush(shirt);
    p.drawRoundedRect(QRectF(x, y + 7, 10, 7), 3, 3);
    p.setBrush(QColor(250, 205, 150));
    p.drawEllipse(QRectF(x + 2.5, y + 1, 5, 5.5));
}

void Envelope(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(120, 100, 40), 1));
    p.setBrush(QColor(255, 245, 200));
    p.drawRect(r);
    p.drawPolyline(
        QPolygonF{r.topLeft(), QPointF(r.center().x(), r.center().y() + 1), r.topRight()});
}

void BanSign(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(200, 20, 20), r.width() / 6));
    p.setBrush(Qt::white);
    p.drawEllipse(r);
    const double d = r.width() * 0.3;
    p.drawLine(r.center() + QPointF(-d, -d), r.center() + QPointF(d, d));
}

// Marks in the lower right corner: what a command does to the object.
void PlusBadge(QPainter& p) {
    p.setPen(QPen(QColor(20, 110, 20), 1));
    p.setBrush(QColor(60, 180, 60));
    QPolygonF plus;
    for (QPointF pt : {QPointF(11, 8), QPointF(13, 8), QPointF(13, 10), QPointF(15, 10),
                       QPointF(15, 12), QPointF(13, 12), QPointF(13, 14), QPointF(11, 14),
                       QPointF(11, 12), QPointF(9, 12), QPointF(9, 10), QPointF(11, 10)})
        plus << pt + QPointF(0.5, 0.5);
    p.drawPolygon(plus);
}

void PencilBadge(QPainter& p) {
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(240, 200, 60));
    QPolygonF pencil;
    pencil << QPointF(14, 6) << QPointF(16, 8) << QPointF(10, 14) << QPointF(7.5, 14.5)
           << QPointF(8, 12);
    p.drawPolygon(pencil);
}

void CrossBadge(QPainter& p) {
    p.setPen(QPen(QColor(200, 20, 20), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 9), QPointF(15, 14));
    p.drawLine(QPointF(15, 9), QPointF(10, 14));
}

// One drawn cell of the user icon sheet, at the painter's origin. Drawn
// without smoothing so that no edge pixel mixes with the transparent colour.
void SheetCell(QPainter& p, int n) {
    static const QColor colours[] = {
        QColor(250, 220, 40),  QColor(80, 170, 250), QColor(90, 200, 90),
        QColor(250, 130, 40),  QColor(230, 80, 80),  QColor(200, 130, 230),
        QColor(240, 240, 240), QColor(150, 110, 70), QColor(60, 200, 200),
    };
    const QColor c = colours[n % 9];
    p.setPen(QPen(c.darker(200), 1));
    p.setBrush(c);
    if (n < 9) { // faces with different moods
        p.drawEllipse(QRect(1, 1, 13, 13));
        p.setPen(QPen(Qt::black, 1));
        p.drawPoint(5, 5);
        p.drawPoint(n % 3 == 2 ? 9 : 10, 5);
        if (n % 3 == 2)
            p.drawLine(9, 5, 11, 5); // a wink
        if (n % 4 == 1)
            p.drawLine(5, 10, 10, 10);
        else if (n % 4 == 3)
            p.drawArc(QRect(4, 9, 7, 5), 0, 180 * 16);
        else
            p.drawArc(QRect(4, 6, 7, 5), 200 * 16, 140 * 16);
        return;
    }
    switch (n) {
    case 9: { // heart
        p.drawEllipse(QRect(1, 2, 7, 7));
        p.drawEllipse(QRect(7, 2, 7, 7));
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygon{QPoint(2, 7), QPoint(14, 7), QPoint(8, 14)});
        break;
    }
    case 10: { // star
        QPolygonF star;
        for (int i = 0; i < 10; ++i) {
            const double a = 3.14159265 * (i / 5.0 - 0.5);
            const double r = i % 2 ? 3 : 7;
            star << QPointF(7.5 + r * std::cos(a), 8 + r * std::sin(a));
        }
        p.drawPolygon(star);
        break;
    }
    case 11:
        p.drawPolygon(QPolygon{QPoint(7, 1), QPoint(14, 8), QPoint(7, 14), QPoint(1, 8)});
        break;
    case 12:
        p.drawPolygon(QPolygon{QPoint(7, 1), QPoint(14, 13), QPoint(1, 13)});
        break;
    case 13:
        p.drawRect(QRect(2, 2, 11, 11));
        break;
    case 14:
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(c, 3));
        p.drawEllipse(QRect(3, 3, 9, 9));
        break;
    case 15:
        p.drawRect(QRect(6, 1, 3, 13));
        p.drawRect(QRect(1, 6, 13, 3));
        break;
    case 16:
        p.drawPolygon(QPolygon{QPoint(1, 6), QPoint(8, 6), QPoint(8, 2), QPoint(14, 8),
                               QPoint(8, 13), QPoint(8, 10), QPoint(1, 10)});
        break;
    case 17: { // moon
        QPainterPath moon;
        moon.addEllipse(QRectF(1, 1, 13, 13));
        QPainterPath bite;
        bite.addEllipse(QRectF(5, -1, 12, 12));
        p.drawPath(moon.subtracted(bite));
        break;
    }
    case 18: // sun
        for (int i = 0; i < 8; ++i) {
            const double a = 3.14159265 * i / 4;
            p.drawLine(QPointF(7.5 + 4 * std::cos(a), 7.5 + 4 * std::sin(a)),
                       QPointF(7.5 + 7 * std::cos(a), 7.5 + 7 * std::sin(a)));
        }
        p.drawEllipse(QRect(4, 4, 7, 7));
        break;
    case 19: // lightning
        p.drawPolygon(QPolygon{QPoint(9, 0), QPoint(3, 9), QPoint(7, 9), QPoint(5, 15),
                               QPoint(12, 6), QPoint(8, 6), QPoint(11, 0)});
        break;
    case 20: // note
        p.drawEllipse(QRect(2, 10, 5, 4));
        p.drawLine(6, 12, 6, 2);
        p.drawLine(6, 2, 12, 4);
        p.drawLine(12, 4, 12, 10);
        p.drawEllipse(QRect(8, 8, 5, 4));
        break;
    case 21: // flower
        for (QPoint o : {QPoint(5, 1), QPoint(1, 5), QPoint(9, 5), QPoint(5, 9)})
            p.drawEllipse(QRect(o, QSize(5, 5)));
        p.setBrush(QColor(250, 220, 40));
        p.drawEllipse(QRect(6, 6, 3, 3));
        break;
    case 22: { // drop
        QPainterPath drop;
        drop.moveTo(7.5, 1);
        drop.cubicTo(7.5, 5, 13, 8, 12, 11);
        drop.arcTo(QRectF(3, 6, 9, 8), 0, -180);
        drop.cubicTo(2, 8, 7.5, 5, 7.5, 1);
        p.drawPath(drop);
        break;
    }
    case 23: // tree
        p.setBrush(QColor(130, 80, 30));
        p.drawRect(QRect(6, 10, 3, 5));
        p.setPen(QPen(QColor(20, 90, 20), 1));
        p.setBrush(QColor(60, 160, 60));
        p.drawPolygon(QPolygon{QPoint(7, 0), QPoint(14, 11), QPoint(1, 11)});
        break;
    case 24: // key
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRect(1, 4, 6, 6));
        p.drawLine(7, 7, 14, 7);
        p.drawLine(12, 7, 12, 10);
        p.drawLine(14, 7, 14, 10);
        break;
    case 25: // house
        p.drawRect(QRect(3, 7, 9, 7));
        p.setBrush(QColor(200, 50, 40));
        p.drawPolygon(QPolygon{QPoint(7, 1), QPoint(14, 7), QPoint(1, 7)});
        break;
    default: // cup
        p.drawRect(QRect(2, 4, 8, 9));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRect(8, 6, 5, 5), -90 * 16, 180 * 16);
        break;
    }
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

QIcon BuiltIn(int index) {
    return Paint(16, [index](QPainter& p) {
        Window(p, index == 6 ? QColor(210, 30, 30) : QColor(40, 80, 190));
        switch (index) {
        case 1:
            Padlock(p, 6, 4);
            break;
        case 2:
            Person(p, 3, 2, QColor(60, 140, 60));
            break;
        case 3:
            p.setPen(QPen(QColor(40, 70, 140), 1));
            p.setBrush(QColor(150, 190, 250));
            p.drawPath(Bubble(QRectF(3.5, 6.5, 9, 5)));
            break;
        case 4:
            p.setPen(QPen(QColor(130, 100, 0), 1));
            p.setBrush(QColor(250, 210, 40));
            p.drawPolygon(QPolygonF{QPointF(8, 6), QPointF(12.5, 13), QPointF(3.5, 13)});
            p.setPen(QPen(Qt::black, 1));
            p.drawLine(QPointF(8, 8.5), QPointF(8, 10.5));
            break;
        case 5:
            p.setPen(QPen(QColor(40, 80, 190), 1.5, Qt::SolidLine, Qt::RoundCap));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(5.5, 6, 5, 4), -90 * 16, 270 * 16);
            p.drawLine(QPointF(8, 10), QPointF(8, 11));
            p.drawPoint(QPointF(8, 13));
            break;
        default: // 0 and 6
            Hand(p, 9, 5);
            break;
        }
    });
}

QPixmap UserIconSheet() {
    QPixmap sheet(160, 160);
    sheet.fill(QColor(128, 0, 128));
    QPainter p(&sheet);
    for (int n = 0; n < 100; ++n) {
        p.save();
        p.translate(n % 10 * 16, n / 10 * 16);
        if (n < 27) {
            SheetCell(p, n);
        } else {
            // Kept off the cell's edge: the sheet's bottom-left pixel names
            // the transparent colour.
            p.setPen(QPen(QColor(255, 0, 0), 1));
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRect(1, 1, 13, 13));
        }
        p.restore();
    }
    return sheet;
}

QIcon Mail() {
    return Paint(16, [](QPainter& p) { Envelope(p, QRectF(1.5, 3.5, 13, 9)); });
}

QIcon Command(TCommandIcon command) {
    return Paint(16, [command](QPainter& p) {
        switch (command) {
        case TCommandIcon::SendMail:
            Envelope(p, QRectF(0.5, 2.5, 12, 8));
            p.setPen(QPen(QColor(30, 120, 30), 2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(9, 13), QPointF(15, 13));
            p.drawLine(QPointF(12.5, 10.5), QPointF(15, 13));
            p.drawLine(QPointF(12.5, 15.5), QPointF(15, 13));
            break;
        case TCommandIcon::Kick:
            Person(p, 0, 1, QColor(70, 110, 200));
            p.setPen(QPen(QColor(200, 30, 30), 2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(10, 8), QPointF(15, 8));
            p.drawLine(QPointF(12.5, 5.5), QPointF(15, 8));
            p.drawLine(QPointF(12.5, 10.5), QPointF(15, 8));
            break;
        case TCommandIcon::KickAndBan:
            Person(p, 0, 1, QColor(70, 110, 200));
            BanSign(p, QRectF(8.5, 7.5, 7, 7));
            break;
        case TCommandIcon::Ping:
            p.setPen(QPen(QColor(40, 80, 190), 1.5));
            p.setBrush(QColor(40, 80, 190));
            p.drawEllipse(QRectF(1, 11, 3, 3));
            p.setBrush(Qt::NoBrush);
            for (double r : {6.0, 10.0, 14.0})
                p.drawArc(QRectF(2.5 - r, 12.5 - r, 2 * r, 2 * r), 0, 90 * 16);
            break;
        case TCommandIcon::Remove:
            Person(p, 0, 1, QColor(70, 110, 200));
            CrossBadge(p);
            break;
        case TCommandIcon::KillChat:
            p.setPen(QPen(QColor(40, 70, 140), 1));
            p.setBrush(QColor(150, 190, 250));
            p.drawPath(Bubble(QRectF(0.5, 1.5, 12, 8)));
            CrossBadge(p);
            break;
        case TCommandIcon::CreateBan:
        case TCommandIcon::EditBan:
        case TCommandIcon::DeleteBan:
            BanSign(p, QRectF(1, 1, 11, 11));
            break;
        case TCommandIcon::CreateMail:
        case TCommandIcon::EditMail:
        case TCommandIcon::DeleteMail:
            Envelope(p, QRectF(0.5, 2.5, 12, 8));
            break;
        }
        if (command == TCommandIcon::CreateBan || command == TCommandIcon::CreateMail)
            PlusBadge(p);
        else if (command == TCommandIcon::EditBan || command == TCommandIcon::EditMail)
            PencilBadge(p);
        else if (command == TCommandIcon::DeleteBan || command == TCommandIcon::DeleteMail)
            CrossBadge(p);
    });
}

} // namespace kelvra::ConsoleIcons
