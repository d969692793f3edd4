#pragma once
// kelvra-client's run: connect, log on, then turn input lines into records and
// received records into output lines until the user quits or the input ends.
#include "ClientConnection.h"
#include "ClientSession.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

namespace kelvra {

class TConsoleIo;

enum TClientExitCode {
    ExitOk = 0,
    ExitUsage = 2,
    ExitHostNotFound = 3,
    ExitConnectFailed = 4, // refused, unreachable, or no answer in time
    ExitDropped = 5,       // the server ended an established connection
    ExitBadData = 6,       // the server sent bytes that are not a record
    ExitKicked = 7,        // the operator kicked us
    ExitLoginRefused = 8,  // nickname or password refused, and no other taken
    ExitScriptFailed = 9,  // a script line failed; the lines after it were not run
    ExitTls = 10,          // TLS: certificate refused, handshake failed, or no TLS here
};

struct TClientOptions {
    QString Host = QStringLiteral("127.0.0.1");
    quint16 Port = 1024;
    QString Nickname;
    int Icon = 0;
    QString UserName;
    QString Password;
    TTlsOptions Tls;
    // After a lost connection: connect again, log in again, rejoin the rooms.
    bool Reconnect = false;
    // Fetch the mail kept for us at every login.
    bool FetchMail = true;
    bool Raw = false;
    bool Color = false;
    double LingerSeconds = 1.0;
    int ConnectTimeoutMs = 10000;
    // How long a script waits for the answer to a create or join before going on.
    int JoinWaitMs = 5000;
};

class TClientApp : public QObject {
    Q_OBJECT
public:
    TClientApp(TClientOptions options, TConsoleIo* console, QObject* parent = nullptr);

    // Starts writing a transcript to path (appended); returns why it cannot.
    QString OpenTranscript(const QString& path);
    // Starts connecting; the outcome arrives through the event loop, which
    // ends with one of TClientExitCode.
    void Start();
    // Ctrl-C, SIGTERM: leave as /quit does.
    void Interrupt() { Quit(false, RefusedCode()); }

private:
    enum class TAsk { Nothing, Nickname };
    // A create or join whose answer a script waits for; Line is empty for a rejoin.
    struct TAwaitedJoin {
        QString Line;
    };

    void OnConnected();
    void OnConnectFailed(QAbstractSocket::SocketError error, const QString& text);
    void OnConnectTimeout();
    void OnPacket(const TDataPacket& packet);
    void OnGarbage(quint64 skipped);
    void OnDisconnected();
    void OnLine(const QString& line);
    void OnEndOfInput();
    void OnLoginSettled();
    void RetryLogin(const std::optional<QString>& nickname, bool askPassword);
    void ScheduleReconnect(const QString& why);
    void Reconnect();
    void OnJoinAnswered(const TDataPacket& answer);
    void RunQueue();
    void RunLogCommand(const TCommand& command);
    // A script line failed: report it, run no more lines, linger, exit non-zero.
    void FailScript(const QString& message);
    // Leaves the server: KMS_QUIT (unless /quit sent it), close, exit with code.
    void Quit(bool quitSent = false, int code = ExitOk);
    int RefusedCode() const;
    void Fail(int code, const QString& message);
    void Finish(int code);
    QString Where() const;
    // A line for stdout, with the time in front when it tells of an event.
    void Show(const QString& line, bool stamped = true);
    void ShowError(const QString& message);
    void ToTranscript(const QString& line);

    TClientOptions Options;
    TConsoleIo* Console;
    TClientConnection Connection;
    TClientSession Session;
    QTimer ConnectTimer;
    QTimer LoginTimer;
    QTimer JoinTimer;
    QTimer LingerTimer;
    QTimer QuitTimer;
    QTimer ReconnectTimer;
    QStringList Queue;
    QList<TAwaitedJoin> AwaitedJoins;
    std::unique_ptr<QFile> Transcript;
    QString TranscriptPath;
    TAsk Asking = TAsk::Nothing;
    bool RetryPassword = false;
    int QuitCode = ExitOk;
    int ReconnectAttempts = 0; // since the connection was lost
    // Why the connection will end, when we end it; the server's last status text.
    QString LostReason;
    QString ServerStatus;
    bool EverLoggedIn = false;
    bool Offline = false; // lost, reconnecting
    bool ScriptFailed = false;
    bool InputEnded = false;
    bool Quitting = false;
    bool Finished = false;
};

} // namespace kelvra
