#pragma once
// "Incoming Data Log": every record decoded from a client.
#include "LogWindow.h"

namespace kelvra {

class TTrafficLogModel;
struct TDataPacket;

class TdataIn : public TLogWindow {
    Q_OBJECT
public:
    explicit TdataIn(QWidget* parent = nullptr);
    void AddPacket(const TDataPacket& packet);

private:
    TTrafficLogModel* Log;
};

} // namespace kelvra
