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
    void AddPacket(const TDataPacket& packet);

private:
    TTrafficLogModel* Log;
};

} // namespace kelvra
