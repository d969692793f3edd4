#include "ClientApp.h"

#include "ConsoleIo.h"
#include "PacketCodes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTime>

namespace kelvra {

TClientApp::TClientApp(TClientOptions options, TConsoleIo* console, QObject* parent)
    : QObject(parent), Options(std::move(options)), Console(console),
      Session([this](const TDataPacket& p) { Connection.Send(p); }) {
    Session.SetColor(Options.Color);
    for (QTimer* t : {&ConnectTimer, &LoginTimer, &JoinTimer, &LingerTimer, &QuitTimer})
        t->setSingleShot(true);
    connect(&ConnectTimer, &QTimer::timeout, this, &TClientApp::OnConnectTimeout);
    connect(&LoginTimer, &QTimer::timeout, this, [this] {
        Fail(ExitConnectFailed, QStringLiteral("no answer to the login from %1 within %2 s")
                                    .arg(Where())
                                    .arg(Options.ConnectTimeoutMs / 1000.0));
        Connection.Abort();
    });
    connect(&JoinTimer, &QTimer::timeout, this, [this] {
        AwaitingJoin = false;
        RunQueue();
    });
    connect(&LingerTimer, &QTimer::timeout, this, [this] { Quit(false); });
    connect(&QuitTimer, &QTimer::timeout, this, [this] {
        Connection.Abort();
        Finish(Session.Kicked() ? ExitKicked : QuitCode);
    });

    connect(&Connection, &TClientConnection::Connected, this, &TClientApp::OnConnected);
    connect(&Connection, &TClientConnection::ConnectFailed, this, &TClientApp::OnConnectFailed);
    connect(&Connection, &TClientConnection::PacketReceived, this, &TClientApp::OnPacket);
    connect(&Connection, &TClientConnection::GarbageReceived, this, &TClientApp::OnGarbage);
    connect(&Connection, &TClientConnection::Disconnected, this, &TClientApp::OnDisconnected);
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
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return QStringLiteral("cannot write %1: %2").arg(path, file->errorString());
    Transcript = std::move(file);
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
    Session.Login(Options.Nickname, Options.Icon,
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
    const bool settling = Session.LoginState() == TLoginState::Pending;
    const QStringList lines = Session.HandlePacket(packet);
    if (Options.Raw)
        Show(DescribePacket(packet), false);
    else
        for (const QString& line : lines)
            Show(line);
    if (packet.Code == KMC_KICK && !Quitting) {
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
    if (AwaitingJoin && Session.AnswersJoin(packet)) {
        AwaitingJoin = false;
        JoinTimer.stop();
        RunQueue();
    }
}

// A refused login ends a script. A person may try another nickname or
// password on the same connection; nothing else is sent meanwhile.
void TClientApp::OnLoginSettled() {
    LoginTimer.stop();
    if (Session.LoginAccepted()) {
        Console->SetPrompt(Session.Nickname() + QStringLiteral("> "));
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
    if (Session.Kicked())
        Finish(ExitKicked);
    else if (Quitting)
        Finish(QuitCode);
    else
        Fail(ExitDropped, QStringLiteral("the server closed the connection"));
}

void TClientApp::OnLine(const QString& line) {
    if (Finished || Quitting)
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
    const QString path = Transcript ? Transcript->fileName() : QString();
    if (c.Target.isEmpty()) {
        Show(Transcript ? QStringLiteral("Transcript goes to %1").arg(path)
                        : QStringLiteral("No transcript; /log FILE starts one"),
             false);
    } else if (c.Target.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
        if (Transcript)
            ToTranscript(QStringLiteral("--- transcript stopped"));
        Transcript.reset();
        Show(QStringLiteral("Transcript stopped"), false);
    } else {
        const QString error = OpenTranscript(c.Target);
        if (error.isEmpty())
            Show(QStringLiteral("Transcript goes to %1").arg(c.Target), false);
        else
            ShowError(error);
    }
}

// Lines run one after another once the login is through; a script waits for
// the answer to each create or join, so that the text after it goes to that room.
void TClientApp::RunQueue() {
    if (!Session.LoginAccepted())
        return;
    while (!AwaitingJoin && !Queue.isEmpty() && !Finished && !Quitting) {
        const TCommand command = ParseCommand(Queue.takeFirst());
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
        if (!r.Error.isEmpty())
            ShowError(r.Error);
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
    Console->Stop();
    QCoreApplication::exit(code);
}

} // namespace kelvra
