// kelvra-client: a terminal chat client for the Kelvra Chat Server.
#include "ClientApp.h"
#include "ConsoleIo.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

const char* const kFooter =
    R"(Connects, logs on with KMS_LOGIN (nickname, icon) and KMS_USER (user name,
password), then reads commands from stdin. On a terminal lines are edited with
history and Tab completes commands, rooms and nicknames (at the start of a
line a nickname becomes "NICK: " to address its owner); otherwise stdin is a
script, which starts once the login is through, and after its end the client
waits --linger seconds for replies, sends KMS_QUIT and exits. A script waits
for the answer to each /create and /join before its next line. Type /help for
the commands.

The server relays chat text without its sender, so the client writes its
nickname into the text: a line goes out as "<NICK> TEXT", an emote (/me
TEXT) as "NICK TEXT". Received lines show as "HH:MM [ROOM] <NICK> TEXT" and
"HH:MM [ROOM] * NICK TEXT", or as the text came when its client did not write
a nickname. Texts travel in code page 1252;
characters it cannot hold go out as "?", with a notice.

At every login the client fetches the mail kept for its nickname (KMS_GETPOST)
and shows how many messages waited, then the messages; --no-mail leaves the
mail on the server until /mail.

A refused login (nickname empty, in use, the server's own, banned, or a wrong
password) ends a script; on a terminal the client asks for another nickname
or the password.

When an established connection is lost (the server shut down or went away),
a client on a terminal connects again to the same host and port after 1, 2,
4, 8, 16, then every 30 s, at most 20 times, logs in again under the same
nickname, user name and password, and rejoins its rooms (creating those that
went with the server); a script does so only with --reconnect. A kick ends
the run (exit 7) and is not undone by reconnecting; so does /quit.

A script stops at its first failed line (an unknown command, wrong arguments,
a command refused by the client such as text before any /join, or a /create
or /join that the server refuses or does not answer within 5 s): it is
reported on stderr, the lines after it are not run, and after --linger the
client leaves with exit status 9. On a terminal a failed command is only
reported.

With --tls the connection is encrypted and the server's certificate must be
valid for the --host name and issued by an authority of the system's store,
or of --tls-ca FILE (PEM) instead. A certificate that fails is refused with
its reason (certificate not trusted, host name mismatch, certificate expired,
...) and exit status 10, unless --tls-insecure lets it pass with a warning.
The port stays 1024 unless --port says another.

Exit codes:
  0  ok
  2  bad command line (a --log file that cannot be written included)
  3  host not found
  4  connection refused or failed, or no answer within 10 s
  5  connection closed by the server (and, with reconnecting, not regained)
  6  the server sent data that is not a valid record
  7  kicked by the operator
  8  login refused
  9  a script line failed
 10  TLS: certificate refused, handshake failed, or TLS not available)";

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Terminal chat client for the Kelvra Chat Server.", "kelvra-client"};
    std::string host = "127.0.0.1";
    int port = 1024;
    std::string nick;
    int icon = 0;
    std::string user;
    bool passwordStdin = false;
    bool raw = false;
    double linger = 1.0;
    bool noColor = false;
    std::string logFile;
    bool tls = false;
    std::string tlsCa;
    bool tlsInsecure = false;
    bool noMail = false;
    bool reconnect = false;
    bool noReconnect = false;
    cli.add_option("--host", host, "server host name or address")->capture_default_str();
    cli.add_option("--port", port, "server port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    cli.add_option("--nick", nick, "nickname to log on with")->required();
    cli.add_option("--icon", icon, "icon number")->capture_default_str();
    cli.add_option("--user", user, "user name sent with the password (default: the nickname)");
    cli.add_flag("--password-stdin", passwordStdin,
                 "read the server password from the first line of stdin");
    auto* tlsFlag = cli.add_flag("--tls", tls, "encrypt the connection (the server's TLS port)");
    cli.add_option("--tls-ca", tlsCa,
                   "trust the certificates in this PEM file instead of the system's store")
        ->needs(tlsFlag);
    cli.add_flag("--tls-insecure", tlsInsecure,
                 "connect even when the server's certificate fails the checks (with a warning)")
        ->needs(tlsFlag);
    auto* reconnectFlag = cli.add_flag("--reconnect", reconnect,
                                       "reconnect after a lost connection (the default on a "
                                       "terminal)");
    cli.add_flag("--no-reconnect", noReconnect, "do not reconnect, not even on a terminal")
        ->excludes(reconnectFlag);
    cli.add_flag("--no-mail", noMail, "do not fetch the mail kept for you at login");
    cli.add_flag("--raw", raw, "print every received record field by field");
    cli.add_option("--linger", linger, "seconds to wait for replies after the end of a script")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    cli.add_flag("--no-color", noColor, "no colours, even on a terminal");
    cli.add_option(
        "--log", logFile,
        "append a transcript of the session to this file (created readable by you only)");
    cli.set_version_flag("--version", std::string("kelvra-client ") + KELVRA_VERSION);
    cli.footer(kFooter);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return cli.exit(e);
        std::cerr << "kelvra-client: " << e.what()
                  << " (usage: kelvra-client --nick NICK [--host HOST] [--port PORT] "
                     "[OPTIONS]; --help lists them)\n";
        return kelvra::ExitUsage;
    }

    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    kelvra::TClientOptions options;
    options.Host = QString::fromStdString(host);
    options.Port = static_cast<quint16>(port);
    options.Nickname = QString::fromStdString(nick);
    options.Icon = icon;
    options.UserName = user.empty() ? options.Nickname : QString::fromStdString(user);
    options.Raw = raw;
    options.Reconnect = reconnect || (interactive && !noReconnect);
    options.FetchMail = !noMail;
    options.Tls.Enabled = tls;
    options.Tls.Insecure = tlsInsecure;
    options.LingerSeconds = linger;
    const char* term = std::getenv("TERM");
    options.Color = !noColor && ::isatty(STDOUT_FILENO) == 1 && !std::getenv("NO_COLOR") &&
                    !(term && std::string(term) == "dumb");
    QByteArray pending;
    if (passwordStdin)
        options.Password =
            QString::fromLocal8Bit(kelvra::TConsoleIo::ReadFirstLine(interactive, pending));

    QCoreApplication app(argc, argv);
    if (tls && !QSslSocket::supportsSsl()) {
        std::cerr << "kelvra-client: TLS is not available: Qt finds no TLS library ("
                  << QSslSocket::sslLibraryBuildVersionString().toStdString() << ")\n";
        return kelvra::ExitTls;
    }
    if (!tlsCa.empty()) {
        const QString path = QString::fromStdString(tlsCa);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::cerr << "kelvra-client: --tls-ca: cannot read " << tlsCa << ": "
                      << file.errorString().toStdString() << "\n";
            return kelvra::ExitUsage;
        }
        const QByteArray data = file.readAll();
        options.Tls.CaCertificates = QSslCertificate::fromData(data, QSsl::Pem);
        if (options.Tls.CaCertificates.isEmpty())
            options.Tls.CaCertificates = QSslCertificate::fromData(data, QSsl::Der);
        if (options.Tls.CaCertificates.isEmpty()) {
            std::cerr << "kelvra-client: --tls-ca: no certificate in " << tlsCa << "\n";
            return kelvra::ExitUsage;
        }
    }
    kelvra::TConsoleIo console(interactive, pending);
    kelvra::TClientApp client(options, &console);
    if (!logFile.empty()) {
        const QString error = client.OpenTranscript(QString::fromStdString(logFile));
        if (!error.isEmpty()) {
            std::cerr << "kelvra-client: " << error.toStdString() << "\n";
            return kelvra::ExitUsage;
        }
    }

    // Ctrl-C and SIGTERM leave the server cleanly and give the terminal back.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &client, [&client] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            client.Interrupt();
        });
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);

    QTimer::singleShot(0, &client, [&client] { client.Start(); });
    return app.exec();
}
