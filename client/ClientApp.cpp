#include "ClientApp.h"

#include "ConsoleIo.h"
#include "PacketCodes.h"
#include "TextUtil.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kelvra {

namespace {

// Back-off after a lost connection: 1, 2, 4 ... 30 s, then give up.
constexpr int kReconnectAttempts = 20;
constexpr int kReconnectMaxDelayS = 30;

} // namespace

TClientApp::TClientApp(TClientOptions options, TConsoleIo* console, QObject* parent)
    : QObject(parent), Options(std::move(options)), Console(console),
      Session([this](const TDataPacket& p) { Connection.Send(p); }) {
    Session.SetColor(Options.Color);
    for (QTimer* t :
         {&ConnectTimer, &LoginTimer, &JoinTimer, &LingerTimer, &QuitTimer, &ReconnectTimer})
        t->setSingleShot(true);
    connect(&ConnectTimer, &QTimer::timeout, this, &TClientApp::OnConnectTimeout);
    connect(&LoginTimer, &QTimer::timeout, this, [this] {
        const QString why = QStringLiteral("no answer to the login from %1 within %2 s")
                                .arg(Where())
                                .arg(Options.ConnectTimeoutMs / 1000.0);
        if (Offline)
            LostReason = why; // the disconnection schedules the next attempt
        else
            Fail(ExitConnectFailed, why);
        Connection.Abort();
    });
    connect(&JoinTimer, &QTimer::timeout, this, [this] {
        if (AwaitedJoins.isEmpty())
            return;
        const TAwaitedJoin join = AwaitedJoins.takeFirst();
        if (!join.Line.isEmpty()) {
            FailScript(QStringLiteral("%1: no answer within %2 s")
                           .arg(join.Line)
                           .arg(Options.JoinWaitMs / 1000.0));
            return;
        }
        if (!AwaitedJoins.isEmpty())
            JoinTimer.start(Options.JoinWaitMs);
        RunQueue();
    });
    connect(&LingerTimer, &QTimer::timeout, this,
            [this] { Quit(false, ScriptFailed ? ExitScriptFailed : ExitOk); });
    connect(&ReconnectTimer, &QTimer::timeout, this, &TClientApp::Reconnect);
    connect(&QuitTimer, &QTimer::timeout, this, [this] {
        Connection.Abort();
        Finish(Session.Kicked() ? ExitKicked : QuitCode);
    });

    connect(&Connection, &TClientConnection::Connected, this, &TClientApp::OnConnected);
    connect(&Connection, &TClientConnection::ConnectFailed, this, &TClientApp::OnConnectFailed);
    connect(&Connection, &TClientConnection::PacketReceived, this, &TClientApp::OnPacket);
    connect(&Connection, &TClientConnection::GarbageReceived, this, &TClientApp::OnGarbage);
    connect(&Connection, &TClientConnection::Disconnected, this, &TClientApp::OnDisconnected);
    connect(&Connection, &TClientConnection::CertificateIgnored, this,
            [this](const QStringList& problems) {
                ShowError(QStringLiteral("warning: %1 (accepted because of --tls-insecure)")
                              .arg(problems.join(QStringLiteral("; "))));
            });
    Connection.SetTls(Options.Tls);
    connect(Console, &TConsoleIo::LineRead, this, &TClientApp::OnLine);
    connect(Console, &TConsoleIo::EndOfInput, this, &TClientApp::OnEndOfInput);
    Console->SetCompleter([this](const QString& line, qsizetype wordStart) {
        return CompletionCandidates(line, wordStart, Session.Nicknames(), Session.RoomNames());
    });
}

QString TClientApp::Where() const {
    return QStringLiteral("%1:%2").arg(Options.Host).arg(Options.Port);
}

QString TClientApp::OpenTranscript(const QString& path) {
    // Private talk goes in there: a new file is for its owner only, and the
    // mode of an existing one is left as its owner set it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return QStringLiteral("cannot write %1: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QStringLiteral("cannot write %1: %2").arg(path, file->errorString());
    }
    Transcript = std::move(file);
    TranscriptPath = path;
    ToTranscript(QStringLiteral("--- kelvra-client %1 on %2, %3")
                     .arg(Session.Nickname().isEmpty() ? Options.Nickname : Session.Nickname(),
                          Where(), QDateTime::currentDateTime().toString(Qt::ISODate)));
    return QString();
}

void TClientApp::ToTranscript(const QString& line) {
    if (!Transcript)
        return;
    Transcript->write(StripColors(line).toUtf8() + '\n');
    Transcript->flush();
}

void TClientApp::Show(const QString& line, bool stamped) {
    const QString text =
        stamped ? QTime::currentTime().toString(QStringLiteral("HH:mm ")) + line : line;
    Console->PrintLine(text);
    ToTranscript(text);
}

void TClientApp::ShowError(const QString& message) {
    Console->PrintError(QStringLiteral("kelvra-client: ") + message);
    ToTranscript(QStringLiteral("kelvra-client: ") + message);
}

void TClientApp::Start() {
    ConnectTimer.start(Options.ConnectTimeoutMs);
    Connection.ConnectToHost(Options.Host, Options.Port);
}

void TClientApp::OnConnected() {
    ConnectTimer.stop();
    // Back after a loss: under the nickname that was accepted last.
    Session.Login(EverLoggedIn ? Session.Nickname() : Options.Nickname, Options.Icon,
                  Options.UserName.isEmpty() ? Options.Nickname : Options.UserName,
                  Options.Password);
    LoginTimer.start(Options.ConnectTimeoutMs);
    Console->Start(Session.Nickname() + QStringLiteral("> "));
    const int lost = UnsendableChars(Options.Nickname) + UnsendableChars(Options.UserName) +
                     UnsendableChars(Options.Password);
    if (lost > 0)
        Show(QStringLiteral("%1 characters of the nickname, user name or password cannot be "
                            "sent in code page 1252 and became ?")
                 .arg(lost));
}

void TClientApp::OnConnectFailed(QAbstractSocket::SocketError error, const QString& text) {
    ConnectTimer.stop();
    // A certificate does not mend itself: a refused one ends the run, reconnecting or not.
    if (Connection.CertificateRefused() ||
        (error == QAbstractSocket::SslHandshakeFailedError && !Offline))
        Fail(ExitTls, QStringLiteral("cannot connect to %1 over TLS: %2").arg(Where(), text));
    else if (Offline)
        ScheduleReconnect(QStringLiteral("Cannot reconnect: ") + text);
    else if (error == QAbstractSocket::HostNotFoundError)
        Fail(ExitHostNotFound, QStringLiteral("host not found: %1").arg(Options.Host));
    else
        Fail(ExitConnectFailed, QStringLiteral("cannot connect to %1: %2").arg(Where(), text));
}

void TClientApp::OnConnectTimeout() {
    QString why = QStringLiteral("no answer within %1 s").arg(Options.ConnectTimeoutMs / 1000.0);
    // Connected but no handshake: most likely a port that does not speak TLS.
    const bool handshake =
        Connection.UsesTls() && Connection.Socket()->state() == QAbstractSocket::ConnectedState;
    if (handshake)
        why = QStringLiteral("no TLS handshake within %1 s (is it the server's TLS port?)")
                  .arg(Options.ConnectTimeoutMs / 1000.0);
    Connection.Abort();
    if (Offline && !handshake)
        ScheduleReconnect(QStringLiteral("Cannot reconnect: ") + why);
    else
        Fail(handshake ? ExitTls : ExitConnectFailed,
             QStringLiteral("cannot connect to %1: %2").arg(Where(), why));
}

void TClientApp::ScheduleReconnect(const QString& why) {
    if (ReconnectAttempts >= kReconnectAttempts) {
        Fail(ExitDropped, QStringLiteral("%1; gave up after %2 attempts to reconnect")
                              .arg(why)
                              .arg(kReconnectAttempts));
        return;
    }
    const int delayS = std::min(1 << std::min(ReconnectAttempts, 5), kReconnectMaxDelayS);
    ++ReconnectAttempts;
    Show(QStringLiteral("%1; reconnecting to %2 in %3 s (attempt %4 of %5, /quit gives up)")
             .arg(why, Where())
             .arg(delayS)
             .arg(ReconnectAttempts)
             .arg(kReconnectAttempts));
    Console->SetPrompt(QStringLiteral("(offline) ") + Session.Nickname() + QStringLiteral("> "));
    // Clients dropped together by a restart do not all come back in the same instant.
    const int jitterMs = static_cast<int>(QRandomGenerator::global()->bounded(delayS * 250 + 1));
    ReconnectTimer.start(delayS * 1000 + jitterMs);
}

void TClientApp::Reconnect() {
    LostReason.clear();
    ServerStatus.clear();
    ConnectTimer.start(Options.ConnectTimeoutMs);
    Connection.ConnectToHost(Options.Host, Options.Port);
}

void TClientApp::OnPacket(const TDataPacket& packet) {
    if (Finished)
        return;
    const bool settling = Session.LoginState() == TLoginState::Pending;
    if (packet.Code == KMC_STATUS)
        ServerStatus = FromBytes(packet.Param1);
    const QStringList lines = Session.HandlePacket(packet);
    if (Options.Raw)
        Show(DescribePacket(packet), false);
    else
        for (const QString& line : lines)
            Show(line);
    if (packet.Code == KMC_KICK && !Quitting) {
        // The protocol carries no reason. Coming back at once would undo the
        // operator's kick: the client goes and stays away.
        if (!Console->Interactive())
            ShowError(QStringLiteral("kicked by the operator of %1").arg(Where()));
        else if (Options.Reconnect)
            Show(QStringLiteral("Not reconnecting after a kick"));
        // The server keeps a kicked user until the client goes.
        Quitting = true;
        Connection.Close();
        QuitTimer.start(3000);
        return;
    }
    if (settling && Session.LoginState() != TLoginState::Pending) {
        OnLoginSettled();
        return;
    }
    if (!AwaitedJoins.isEmpty() && Session.AnswersJoin(packet))
        OnJoinAnswered(packet);
}

void TClientApp::OnJoinAnswered(const TDataPacket& answer) {
    const TAwaitedJoin join = AwaitedJoins.takeFirst();
    JoinTimer.stop();
    if (!join.Line.isEmpty() && answer.Code != KMC_JOINED && answer.Code != KMC_KICK) {
        const QByteArray why = answer.Code == KMC_MESSAGE ? answer.Param2 : answer.Param1;
        FailScript(QStringLiteral("%1: refused by the server (%2)")
                       .arg(join.Line, why.isEmpty() ? RenderPacket(answer) : FromBytes(why)));
        return;
    }
    if (!AwaitedJoins.isEmpty())
        JoinTimer.start(Options.JoinWaitMs);
    RunQueue();
}

// A refused login ends a script. A person may try another nickname or
// password on the same connection; nothing else is sent meanwhile.
void TClientApp::OnLoginSettled() {
    LoginTimer.stop();
    if (Session.LoginAccepted()) {
        Console->SetPrompt(Session.Nickname() + QStringLiteral("> "));
        EverLoggedIn = true;
        // The mail's answers come before those of the rejoins: no room's
        // notice is taken for mail.
        if (Options.FetchMail)
            Session.FetchMail();
        if (Offline) {
            Offline = false;
            ReconnectAttempts = 0;
            const QStringList rooms = Session.Rejoin();
            Show(rooms.isEmpty() ? QStringLiteral("Reconnected to %1").arg(Where())
                                 : QStringLiteral("Reconnected to %1; rejoining %2")
                                       .arg(Where(), rooms.join(QStringLiteral(", "))));
            if (!Console->Interactive()) {
                for (qsizetype i = 0; i < rooms.size(); ++i)
                    AwaitedJoins.append(TAwaitedJoin{});
                if (!rooms.isEmpty())
                    JoinTimer.start(Options.JoinWaitMs);
            }
        }
        RunQueue();
        return;
    }
    const QString why = QStringLiteral("login refused: ") + Session.LoginRefusal();
    Queue.clear();
    if (!Console->Interactive()) {
        ShowError(why);
        Quit(false, ExitLoginRefused);
        return;
    }
    Show(QStringLiteral("Login refused: ") + Session.LoginRefusal());
    if (Session.NicknameRefused()) {
        RetryPassword = Session.PasswordRefused();
        Asking = TAsk::Nickname;
        Console->SetPrompt(QStringLiteral("Another nickname (empty line or Ctrl-D quits): "));
        return;
    }
    RetryLogin(std::nullopt, true);
}

void TClientApp::RetryLogin(const std::optional<QString>& nickname, bool askPassword) {
    std::optional<QString> password;
    if (askPassword)
        password = Console->ReadHidden(QStringLiteral("Server password: "));
    Session.RetryLogin(nickname, password);
    if (password)
        Options.Password = *password; // for the logins after a lost connection
    Console->SetPrompt(Session.Nickname() + QStringLiteral("> "));
    LoginTimer.start(Options.ConnectTimeoutMs);
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
    if (Session.Kicked()) {
        Finish(ExitKicked);
        return;
    }
    if (Quitting) {
        Finish(QuitCode);
        return;
    }
    QString why = LostReason;
    if (why.isEmpty())
        why = ServerStatus.startsWith(QLatin1String("Server is shut"))
                  ? QStringLiteral("the server shut down (\"%1\")").arg(ServerStatus)
                  : QStringLiteral("the server closed the connection");
    if (!Options.Reconnect || !EverLoggedIn) {
        Fail(ExitDropped, why);
        return;
    }
    LoginTimer.stop();
    AwaitedJoins.clear();
    JoinTimer.stop();
    if (!Offline)
        why = QStringLiteral("Connection lost: ") + why;
    Offline = true;
    Session.ConnectionLost();
    ScheduleReconnect(why);
}

void TClientApp::OnLine(const QString& line) {
    if (Finished || Quitting || ScriptFailed)
        return;
    if (Asking == TAsk::Nickname) {
        Asking = TAsk::Nothing;
        const QString nick = line.trimmed();
        if (nick.isEmpty()) {
            Quit(false, ExitLoginRefused);
            return;
        }
        RetryLogin(nick, RetryPassword);
        return;
    }
    if (Offline && Console->Interactive()) {
        // A person is told at once; a script's lines wait for the reconnection.
        const TCommand command = ParseCommand(line);
        if (command.Kind == TCommandKind::Quit)
            Quit(false, ExitOk);
        else if (command.Kind == TCommandKind::Log)
            RunLogCommand(command);
        else if (command.Kind != TCommandKind::Empty)
            ShowError(
                QStringLiteral("not connected: reconnecting to %1 (/quit gives up)").arg(Where()));
        return;
    }
    Queue.append(line);
    RunQueue();
}

void TClientApp::OnEndOfInput() {
    InputEnded = true;
    if (Console->Interactive())
        Quit(false, RefusedCode());
    else
        RunQueue();
}

int TClientApp::RefusedCode() const {
    return Session.LoginState() == TLoginState::Refused ? ExitLoginRefused : ExitOk;
}

void TClientApp::RunLogCommand(const TCommand& c) {
    const QString path = TranscriptPath;
    if (c.Target.isEmpty()) {
        Show(Transcript ? QStringLiteral("Transcript goes to %1").arg(path)
                        : QStringLiteral("No transcript; /log FILE starts one"),
             false);
    } else if (c.Target.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
        if (Transcript)
            ToTranscript(QStringLiteral("--- transcript stopped"));
        Transcript.reset();
        TranscriptPath.clear();
        Show(QStringLiteral("Transcript stopped"), false);
    } else {
        const QString error = OpenTranscript(c.Target);
        if (error.isEmpty())
            Show(QStringLiteral("Transcript goes to %1").arg(c.Target), false);
        else
            FailScript(error);
    }
}

void TClientApp::FailScript(const QString& message) {
    ShowError(message);
    if (Console->Interactive() || ScriptFailed)
        return;
    ScriptFailed = true;
    Queue.clear();
    AwaitedJoins.clear();
    JoinTimer.stop();
    // Replies to what went out before still arrive meanwhile.
    if (!Quitting && !Finished)
        LingerTimer.start(static_cast<int>(Options.LingerSeconds * 1000));
}

// Lines run one after another once the login is through; a script waits for
// the answer to each create or join, so that the text after it goes to that room.
void TClientApp::RunQueue() {
    if (!Session.LoginAccepted() || ScriptFailed)
        return;
    while (AwaitedJoins.isEmpty() && !Queue.isEmpty() && !Finished && !Quitting && !ScriptFailed) {
        const QString line = Queue.takeFirst();
        const TCommand command = ParseCommand(line);
        if (command.Kind == TCommandKind::Log) {
            RunLogCommand(command);
            continue;
        }
        const TCommandResult r = Session.Execute(command);
        if (!r.Output.isEmpty())
            for (const QString& l : r.Output.split(QLatin1Char('\n')))
                Show(l, false);
        for (const QString& l : r.Notices)
            Show(l);
        if (!r.Error.isEmpty()) {
            FailScript(r.Error);
            continue;
        }
        if (r.Quit) {
            Quit(true);
            return;
        }
        if (r.AwaitsJoin && !Console->Interactive()) {
            AwaitedJoins.append({line.trimmed()});
            JoinTimer.start(Options.JoinWaitMs);
        }
    }
    if (InputEnded && Queue.isEmpty() && AwaitedJoins.isEmpty() && !Quitting && !Finished &&
        !ScriptFailed && !LingerTimer.isActive())
        LingerTimer.start(static_cast<int>(Options.LingerSeconds * 1000));
}

void TClientApp::Quit(bool quitSent, int code) {
    if (Quitting || Finished)
        return;
    Quitting = true;
    QuitCode = code;
    if (!Connection.IsConnected()) {
        Finish(code);
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
    ShowError(message);
    Finish(code);
}

void TClientApp::Finish(int code) {
    if (Finished)
        return;
    Finished = true;
    ConnectTimer.stop();
    LoginTimer.stop();
    JoinTimer.stop();
    LingerTimer.stop();
    QuitTimer.stop();
    ReconnectTimer.stop();
    Console->Stop();
    QCoreApplication::exit(code);
}

} // namespace kelvra
