#pragma once
// What kelvra-serverd shows instead of the console windows: nothing, or with
// --log one line per record and per error on stderr.
#include "ServerView.h"

#include <QString>

namespace kelvra {

class TServerdView : public TQuietView {
public:
    explicit TServerdView(bool logTraffic) : Logging(logTraffic) {}

    bool LogsTraffic() const override { return Logging; }
    void LogPacket(const TDataPacket& packet, bool outgoing) override;
    void ReportSocketError(int code, const QString& function) override;
    void ReportClientFailure(const QString& text) override;

    // The last failed socket call, kept even when quiet, for start-up messages.
    QString LastSocketError() const { return LastError; }

    // One traffic line: direction, From, code name, Param1, Param2, True/False,
    // tab-separated, with control characters escaped so a line stays a line.
    static QByteArray FormatPacket(const TDataPacket& packet, bool outgoing);

private:
    bool Logging;
    QString LastError;
};

} // namespace kelvra
