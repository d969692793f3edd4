// kelvra-client: a terminal chat client for the Kelvra Chat Server.
#include "ClientApp.h"
#include "ConsoleIo.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

const char* const kFooter =
    R"(Connects, logs on with KMS_LOGIN (nickname, icon) and KMS_USER (user name,
password), then reads commands from stdin. On a terminal lines are edited with
history; otherwise stdin is a script, and after its end the client waits
--linger seconds for replies, sends KMS_QUIT and exits. A script waits for the
answer to each /create and /join before its next line. Type /help for the
commands. Text is sent as typed: the client adds no nickname to it.

Exit codes:
  0  ok
  2  bad command line
  3  host not found
  4  connection refused or failed, or no answer within 10 s
  5  connection closed by the server
  6  the server sent data that is not a valid record
  7  kicked by the operator)";

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
    cli.footer(kFooter);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return cli.exit(e);
        std::cerr << "kelvra-client: " << e.what() << "\nRun with --help for more information.\n";
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
    QByteArray pending;
    if (passwordStdin)
        options.Password =
            QString::fromLocal8Bit(kelvra::TConsoleIo::ReadFirstLine(interactive, pending));

    QCoreApplication app(argc, argv);
    kelvra::TConsoleIo console(interactive, pending);
    kelvra::TClientApp client(options, &console);

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
