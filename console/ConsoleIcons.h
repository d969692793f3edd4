#pragma once
// The console's small pictures, drawn at run time so no image files ship.
#include <QIcon>

class QPainter;
class QRectF;

namespace kelvra {

enum class TButtonKind;

namespace ConsoleIcons {

QIcon App(); // the program image
// The program image drawn at any size (the login picture).
void PaintApp(QPainter& p, const QRectF& target);
QIcon Incoming();                      // rows of the incoming traffic log
QIcon Outgoing();                      // rows of the outgoing traffic log
QIcon Error();                         // rows of the socket error log
QIcon Clear();                         // the logs' Clear button
QIcon ForButtonKind(TButtonKind kind); // null for kinds without a picture

} // namespace ConsoleIcons
} // namespace kelvra
