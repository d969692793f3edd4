#pragma once
// "Outgoing Data Log": every record sent to a client.
#include "LogWindow.h"

#include <QByteArray>
#include <vector>

namespace kelvra {

class TTrafficLogModel;
struct TDataPacket;

class TdataOut : public TLogWindow {
    Q_OBJECT
public:
    explicit TdataOut(QWidget* parent = nullptr);
    // The same record sent to `count` clients: that many rows.
    void AddPacket(const TDataPacket& packet, qsizetype count = 1);
    // Records sent end to end in encoded blocks: a row for each.
    void AddEncoded(const std::vector<QByteArray>& blocks, qsizetype records);

private:
    TTrafficLogModel* Log;
};

} // namespace kelvra
