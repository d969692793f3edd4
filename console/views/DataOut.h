#pragma once
// "Outgoing Data Log": every record sent to a client.
#include "LogWindow.h"

namespace kelvra {

class TTrafficLogModel;
struct TDataPacket;

class TdataOut : public TLogWindow {
    Q_OBJECT
public:
    explicit TdataOut(QWidget* parent = nullptr);
    // The same record sent to `count` clients: that many rows.
    void AddPacket(const TDataPacket& packet, qsizetype count = 1);

private:
    TTrafficLogModel* Log;
};

} // namespace kelvra
