// kelvra-client: a terminal chat client for the Kelvra Chat Server.
#include "ClientApp.h"
#include "ConsoleIo.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QSocketNotifier>
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
history and Tab completes commands, rooms and nicknames; otherwise stdin is a
script, which starts once the login is through, and after its end the client
waits --linger seconds for replies, sends KMS_QUIT and exits. A script waits
for the answer to each /create and /join before its next line. Type /help for
the commands.

The server relays chat text without its sender, so the client writes its
nickname into the text: a line goes out as "<NICK> TEXT", an emote as
"NICK TEXT". Received lines show as "HH:MM [ROOM] <NICK> TEXT" and
"HH:MM [ROOM] * NICK TEXT", or as the text came when its client did not write
a nickname. Texts travel in code page 1252;
characters it cannot hold go out as "?", with a notice.

A refused login (nickname empty, in use, the server's own, banned, or a wrong
password) ends a script; on a terminal the client asks for another nickname
or the password.

Exit codes:
  0  ok
  2  bad command line (a --log file that cannot be written included)
  3  host not found
  4  connection refused or failed, or no answer within 10 s
  5  connection closed by the server
  6  the server sent data that is not a valid record
  7  kicked by the operator
  8  login refused)";

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
    cli.add_option("--host", host, "server host name or address")->capture_default_str();
    cli.add_option("--port", port, "server port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    cli.add_option("--nick", nick, "nickname to log on with")->required();
    cli.add_option("--icon", icon, "icon number")->capture_default_str();
    cli.add_option("--user", user, "user name sent with the password (default: the nickname)");
    cli.add_flag("--password-stdin", passwordStdin,
                 "read the server password from the first line of stdin");
    cli.add_flag("--raw", raw, "print every received record field by field");
    cli.add_option("--linger", linger, "seconds to wait for replies after the end of a script")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    cli.add_flag("--no-color", noColor, "no colours, even on a terminal");
    cli.add_option("--log", logFile, "append a transcript of the session to this file");
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
    options.LingerSeconds = linger;
    const char* term = std::getenv("TERM");
    options.Color = !noColor && ::isatty(STDOUT_FILENO) == 1 && !std::getenv("NO_COLOR") &&
                    !(term && std::string(term) == "dumb");
    QByteArray pending;
    if (passwordStdin)
        options.Password =
            QString::fromLocal8Bit(kelvra::TConsoleIo::ReadFirstLine(interactive, pending));

    QCoreApplication app(argc, argv);
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
