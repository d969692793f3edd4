#include "DataIn.h"

#include "ConsoleIcons.h"
#include "LogModel.h"

namespace kelvra {

TdataIn::TdataIn(QWidget* parent)
    : TLogWindow(QStringLiteral("Incoming Data Log"), ConsoleIcons::Incoming(), parent),
      Log(new TTrafficLogModel(ConsoleIcons::Incoming(), this)) {
    Attach(Log, {50, 100, 100, 100}, true);
}

void TdataIn::AddPacket(const TDataPacket& packet) {
    Log->AddPacket(packet);
}

} // namespace kelvra
