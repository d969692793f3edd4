#include "DataOut.h"

#include "ConsoleIcons.h"
#include "LogModel.h"

namespace kelvra {

TdataOut::TdataOut(QWidget* parent)
    : TLogWindow(QStringLiteral("Outgoing Data Log"), ConsoleIcons::Outgoing(), parent),
      Log(new TTrafficLogModel(ConsoleIcons::Outgoing(), this)) {
    Attach(Log, {50, 100, 100, 100}, true);
}

void TdataOut::AddPacket(const TDataPacket& packet, qsizetype count) {
    Log->AddPacket(packet, count);
}

void TdataOut::AddEncoded(const std::vector<QByteArray>& blocks, qsizetype records) {
    Log->AddEncoded(blocks, records);
}

} // namespace kelvra
