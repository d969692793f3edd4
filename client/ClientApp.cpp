#include "ClientApp.h"

#include "ConsoleIo.h"
#include "PacketCodes.h"

#include <QCoreApplication>

namespace kelvra {

TClientApp::TClientApp(TClientOptions options, TConsoleIo* console, QObject* parent)
    : QObject(parent), Options(std::move(options)), Console(console),
      Session([this](const TDataPacket& p) { Connection.Send(p); }) {
    for (QTimer* t : {&ConnectTimer, &JoinTimer, &LingerTimer, &QuitTimer})
        t->setSingleShot(true);
    connect(&ConnectTimer, &QTimer::timeout, this, &TClientApp::OnConnectTimeout);
    connect(&JoinTimer, &QTimer::timeout, this, [this] {
        AwaitingJoin = false;
        RunQueue();
    });
    connect(&LingerTimer, &QTimer::timeout, this, [this] { Quit(false); });
    connect(&QuitTimer, &QTimer::timeout, this, [this] {
        Connection.Abort();
        Finish(Session.Kicked() ? ExitKicked : ExitOk);
    });

    connect(&Connection, &TClientConnection::Connected, this, &TClientApp::OnConnected);
    connect(&Connection, &TClientConnection::ConnectFailed, this, &TClientApp::OnConnectFailed);
    connect(&Connection, &TClientConnection::PacketReceived, this, &TClientApp::OnPacket);
    connect(&Connection, &TClientConnection::GarbageReceived, this, &TClientApp::OnGarbage);
    connect(&Connection, &TClientConnection::Disconnected, this, &TClientApp::OnDisconnected);
    connect(Console, &TConsoleIo::LineRead, this, &TClientApp::OnLine);
    connect(Console, &TConsoleIo::EndOfInput, this, &TClientApp::OnEndOfInput);
}

QString TClientApp::Where() const {
    return QStringLiteral("%1:%2").arg(Options.Host).arg(Options.Port);
}

void TClientApp::Start() {
    ConnectTimer.start(Options.ConnectTimeoutMs);
    Connection.ConnectToHost(Options.Host, Options.Port);
}

void TClientApp::OnConnected() {
    ConnectTimer.stop();
    Session.Login(Options.Nickname, Options.Icon,
                  Options.UserName.isEmpty() ? Options.Nickname : Options.UserName,
                  Options.Password);
    Console->Start(Session.Nickname() + QStringLiteral("> "));
}

void TClientApp::OnConnectFailed(QAbstractSocket::SocketError error, const QString& text) {
    if (error == QAbstractSocket::HostNotFoundError)
        Fail(ExitHostNotFound, QStringLiteral("host not found: %1").arg(Options.Host));
    else
        Fail(ExitConnectFailed, QStringLiteral("cannot connect to %1: %2").arg(Where(), text));
}

void TClientApp::OnConnectTimeout() {
    Fail(ExitConnectFailed, QStringLiteral("cannot connect to %1: no answer within %2 s")
                                .arg(Where())
                                .arg(Options.ConnectTimeoutMs / 1000.0));
    Connection.Abort();
}

void TClientApp::OnPacket(const TDataPacket& packet) {
    if (Finished)
        return;
    const QString line = Session.HandlePacket(packet);
    if (Options.Raw)
        Console->PrintLine(DescribePacket(packet));
    else if (!line.isEmpty())
        Console->PrintLine(line);
    if (packet.Code == KMC_KICK && !Quitting) {
        // The server keeps a kicked user until the client goes.
        Quitting = true;
        Connection.Close();
        QuitTimer.start(3000);
        return;
    }
    if (AwaitingJoin && Session.AnswersJoin(packet)) {
        AwaitingJoin = false;
        JoinTimer.stop();
        RunQueue();
    }
}

void TClientApp::OnGarbage(quint64 skipped) {
    if (Finished || Quitting)
        return;
    // Finish first: the abort reports a disconnection of its own.
    Fail(ExitBadData,
         QStringLiteral("the server sent data that is not a valid record (%1 bytes skipped)")
             .arg(skipped));
    Connection.Abort();
}

void TClientApp::OnDisconnected() {
    if (Finished)
        return;
    if (Session.Kicked())
        Finish(ExitKicked);
    else if (Quitting)
        Finish(ExitOk);
    else
        Fail(ExitDropped, QStringLiteral("the server closed the connection"));
}

void TClientApp::OnLine(const QString& line) {
    if (Finished || Quitting)
        return;
    Queue.append(line);
    RunQueue();
}

void TClientApp::OnEndOfInput() {
    InputEnded = true;
    if (Console->Interactive())
        Quit(false);
    else
        RunQueue();
}

// Lines run one after another; a script waits for the answer to each create
// or join, so that the text after it goes to that room.
void TClientApp::RunQueue() {
    while (!AwaitingJoin && !Queue.isEmpty() && !Finished && !Quitting) {
        const TCommandResult r = Session.Execute(ParseCommand(Queue.takeFirst()));
        if (!r.Output.isEmpty())
            for (const QString& l : r.Output.split(QLatin1Char('\n')))
                Console->PrintLine(l);
        if (!r.Error.isEmpty())
            Console->PrintError(QStringLiteral("kelvra-client: ") + r.Error);
        if (r.Quit) {
            Quit(true);
            return;
        }
        if (r.AwaitsJoin && !Console->Interactive()) {
            AwaitingJoin = true;
            JoinTimer.start(Options.JoinWaitMs);
        }
    }
    if (InputEnded && Queue.isEmpty() && !AwaitingJoin && !Quitting && !Finished &&
        !LingerTimer.isActive())
        LingerTimer.start(static_cast<int>(Options.LingerSeconds * 1000));
}

void TClientApp::Quit(bool quitSent) {
    if (Quitting || Finished)
        return;
    Quitting = true;
    if (!Connection.IsConnected()) {
        Finish(ExitOk);
        return;
    }
    if (!quitSent)
        Connection.Send(MakePacket(KMS_QUIT));
    Connection.Close();
    QuitTimer.start(3000);
}

void TClientApp::Fail(int code, const QString& message) {
    if (Finished)
        return;
    Console->PrintError(QStringLiteral("kelvra-client: ") + message);
    Finish(code);
}

void TClientApp::Finish(int code) {
    if (Finished)
        return;
    Finished = true;
    ConnectTimer.stop();
    JoinTimer.stop();
    LingerTimer.stop();
    QuitTimer.stop();
    Console->Stop();
    QCoreApplication::exit(code);
}

} // namespace kelvra
