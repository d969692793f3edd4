#pragma once
// The console as the server core sees it: routes the traffic and error logs to
// their windows. The list views join here as they are added to the console.
#include "ServerView.h"

#include <QPointer>

namespace kelvra {

class TdataIn;
class TdataOut;
class TviewErrors;

class TConsoleView : public IServerView {
public:
    void SetErrorLog(TviewErrors* errors);
    void SetTrafficLogs(TdataIn* in, TdataOut* out);

    bool LogsTraffic() const override;
    void LogPacket(const TDataPacket& packet, bool outgoing) override;
    void ReportSocketError(int code, const QString& function) override;
    void ReportClientFailure(const QString& text) override;

private:
    QPointer<TdataIn> In;
    QPointer<TdataOut> Out;
    QPointer<TviewErrors> Errors;
};

} // namespace kelvra
