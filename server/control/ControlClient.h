#pragma once
// A blocking client of the control socket: one request, one response, each a
// line of JSON. kelvra-admin uses it; so could any other local tool.
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace kelvra {

class TControlClient {
public:
    TControlClient() = default;
    ~TControlClient();
    TControlClient(const TControlClient&) = delete;
    TControlClient& operator=(const TControlClient&) = delete;

    // False with the reason when nothing answers at path.
    bool Connect(const QString& path, QString* error);
    // Sends {"id":n,"op":op,"args":args} and waits at most timeoutMs for the
    // response object; nullopt with the reason when none came.
    std::optional<QJsonObject> Call(const QString& op, const QJsonObject& args, int timeoutMs,
                                    QString* error);
    void Close();

private:
    bool WriteAll(const QByteArray& bytes, const QDeadlineTimer& deadline, QString* error);
    std::optional<QByteArray> ReadLine(const QDeadlineTimer& deadline, QString* error);

    int Fd = -1;
    QByteArray Buffer;
    int NextId = 1;
};

} // namespace kelvra
