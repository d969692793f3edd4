#pragma once
// Running one kelvra-admin command: connect, send its request, print the
// answer, and turn it into the exit status.
#include <QJsonObject>
#include <QString>
#include <string>

namespace kelvra::admin {

enum TExit { ExitOk = 0, ExitRefused = 1, ExitUsage = 2 };

struct TGlobalOptions {
    std::string Socket; // empty: the default path
    bool Json = false;
    double Timeout = 10; // seconds to wait for each answer
};

struct TRequest {
    QString Op;
    QJsonObject Args;
    // ping: seconds to wait for the answer; 0 returns once the ping is sent.
    double PingWait = 0;
};

int Execute(const TGlobalOptions& options, const TRequest& request);

// A text as the console's multi-line boxes give it: CR LF between lines.
QString ConsoleLines(const std::string& text);

} // namespace kelvra::admin
