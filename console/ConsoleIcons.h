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

// The seven images the Users and Chats views share: 0 a window with a pointing
// hand, 1 a window with a padlock, 2 a person, 3 a speech bubble, 4 a warning,
// 5 a question mark, 6 a red window with a pointing hand.
constexpr int kBuiltInImages = 7;
QIcon BuiltIn(int index);
// The user icon sheet: 160 x 160, 16 x 16 cells row by row on a purple
// background; cells 0-26 drawn, the others only a red frame.
QPixmap UserIconSheet();
QIcon Mail(); // rows of the Mail view

enum class TCommandIcon {
    SendMail,
    Kick,
    KickAndBan,
    Ping,
    Remove,
    KillChat,
    CreateBan,
    EditBan,
    DeleteBan,
    CreateMail,
    EditMail,
    DeleteMail,
};
QIcon Command(TCommandIcon command); // the list windows' tool buttons

} // namespace ConsoleIcons
} // namespace kelvra
