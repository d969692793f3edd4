// kelvra-serverd: the server core of the console, without a window. The
// settings store, start-up and shutdown steps are the console's own; only the
// Server Login dialog is replaced by options (and the settings it would show).
#include "ConnectionManager.h"
#include "LoginSettings.h"
#include "ProcessLimits.h"
#include "RegLink.h"
#include "ServerRuntime.h"
#include "ServerdView.h"
#include "SignalPipe.h"
#include "TextUtil.h"
#include "TlsFrontEnd.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace kelvra {
namespace {

struct TOptions {
    std::string Nick;
    std::string Port;
    bool HasPort = false;
    std::string Bind;
    bool HasBind = false;
    bool Log = false;
    std::string SettingsFile;
    std::string TlsPort, TlsCert, TlsKey; // empty: from the settings' [TLS]
};

void Fail(const QString& text) {
    std::fprintf(stderr, "kelvra-serverd: %s\n", qPrintable(text));
}

QString StartFailure(TConnectionManager::ListenResult result, const QString& port,
                     const QString& bind, const QString& bindError, const TServerdView& view) {
    using R = TConnectionManager::ListenResult;
    switch (result) {
    case R::NoPort:
        return QStringLiteral("No Port Specified");
    case R::BadPort:
        return QStringLiteral(
                   "'%1' is neither a TCP service name nor a port number from 0 to 65535")
            .arg(port);
    case R::PortInUse:
        return QStringLiteral("Cannot bind to socket - Another instance of the server may already "
                              "be running on this port. Port %1 is in use.")
            .arg(port);
    case R::AddressNotLocal:
        return QStringLiteral("Cannot bind to socket - %1 is not an IPv4 address of this machine.")
            .arg(bind);
    case R::BindFailed:
        return QStringLiteral("Cannot bind to socket on port %1: %2").arg(port, bindError);
    case R::SocketFailed:
        return QStringLiteral("Cannot create the listening socket: ") + view.LastSocketError();
    case R::ListenFailed:
        return QStringLiteral("Cannot listen on port %1: %2").arg(port, view.LastSocketError());
    case R::Ok:
        break;
    }
    return QString();
}

int Run(const TOptions& options) {
    if (TrimText(QByteArray::fromStdString(options.Nick)).isEmpty()) {
        Fail(QStringLiteral("the server nickname must not be blank"));
        return 1;
    }
    std::unique_ptr<TRegLink> ownReg;
    if (!options.SettingsFile.empty()) {
        // A mistyped folder would otherwise start a server whose state is
        // saved nowhere.
        const QFileInfo file(QString::fromStdString(options.SettingsFile));
        if (!file.absoluteDir().exists()) {
            Fail(QStringLiteral("the folder of the settings file does not exist: %1")
                     .arg(file.absolutePath()));
            return 1;
        }
        ownReg = TRegLink::AtPath(file.absoluteFilePath());
    } else
        ownReg = std::make_unique<TRegLink>();
    TRegLink& reg = *ownReg;

    TServerdView view(options.Log);
    TServerRuntime runtime(view, reg);
    runtime.ReadPaths();
    runtime.LoadStores();

    // The answers the console's Server Login dialog would start with.
    const TLoginSettings stored = ReadLoginSettings(reg, TConnectionManager::LocalIPv4Addresses());
    const QByteArray password = ToBytes(stored.Password);
    const QString port = options.HasPort ? QString::fromStdString(options.Port) : stored.Port();
    const QString bind =
        options.HasBind ? QString::fromStdString(options.Bind) : stored.BindAddress;

    // Installed before listening, so no client ever sees a server that cannot be stopped cleanly.
    TSignalPipe signalPipe;
    if (!signalPipe.Install(true)) {
        Fail(QStringLiteral("cannot install the signal handlers: %1").arg(qt_error_string(errno)));
        return 1;
    }

    const auto result =
        runtime.Start(QByteArray::fromStdString(options.Nick), port, password, bind);
    if (result != TConnectionManager::ListenResult::Ok) {
        Fail(StartFailure(result, port, bind, runtime.Connections().BindErrorText(), view));
        return 1;
    }
    const QString shownAddress = bind == kAnyConnection ? QStringLiteral("0.0.0.0") : bind;

    TTlsSettings tlsSettings = ReadTlsSettings(reg);
    const auto override = [](const std::string& option, QString& value) {
        if (!option.empty())
            value = QString::fromStdString(option);
    };
    override(options.TlsPort, tlsSettings.Port);
    override(options.TlsCert, tlsSettings.Certificate);
    override(options.TlsKey, tlsSettings.Key);
    TTlsFrontEnd tls;
    QString tlsError;
    if (!tls.Start(runtime.Connections(), tlsSettings, bind, &tlsError)) {
        Fail(tlsError);
        runtime.Stop();
        return 1;
    }
    // Both lines once both ports listen: a script that waits for them never
    // sees a server that is about to give up.
    std::printf("listening on %s:%u\n", qPrintable(shownAddress),
                static_cast<unsigned>(runtime.Connections().ListenPort()));
    if (tls.IsActive())
        std::printf("listening (TLS) on %s:%u\n", qPrintable(shownAddress),
                    static_cast<unsigned>(tls.Port()));
    std::fflush(stdout);
    QObject::connect(&signalPipe, &TSignalPipe::ReloadRequested, [&tls] {
        QString error;
        if (tls.Reload(&error))
            std::printf("reloaded%s\n", tls.IsActive() ? " the TLS certificate" : "");
        else
            Fail(error);
        std::fflush(stdout);
    });

    QObject::connect(&signalPipe, &TSignalPipe::Received, [&runtime](int) {
        // The console's close: warn everybody, save, then close every socket.
        runtime.Server().SendShutdownNotice();
        QString error;
        const bool saved = runtime.SaveState(&error);
        if (!saved) // one line for each store that failed
            for (const QString& line : error.split(QLatin1Char('\n')))
                Fail(line);
        runtime.Stop();
        QCoreApplication::exit(saved ? 0 : 1);
    });
    return QCoreApplication::exec();
}

} // namespace
} // namespace kelvra

int main(int argc, char** argv) {
    kelvra::TOptions options;
    CLI::App cli{"Kelvra Chat Server without a window: the server core of the console, "
                 "configured by options and the settings store."};
    cli.add_option("--nick", options.Nick, "Server nickname (the name the server speaks under)")
        ->required();
    auto* port = cli.add_option("--port", options.Port,
                                "TCP port or service name; 0 picks a free port (default: the "
                                "console's port preset, else 1024)");
    auto* bind = cli.add_option("--bind", options.Bind,
                                "Local IPv4 address to listen on, or \"<Any Connection>\" "
                                "(default: settings Main/Home)");
    cli.add_flag("--log", options.Log,
                 "Print every record in and out, socket errors and client failures on stderr");
    cli.add_option("--settings", options.SettingsFile,
                   "Settings INI file to use instead of the per-user settings store (its "
                   "folder must exist)");
    cli.add_option("--tls-port", options.TlsPort,
                   "Also listen for TLS on this port (default: settings TLS/Port; none when "
                   "empty)");
    cli.add_option("--tls-cert", options.TlsCert,
                   "PEM certificate chain for the TLS port (default: settings TLS/Certificate)");
    cli.add_option("--tls-key", options.TlsKey,
                   "PEM private key of the certificate (default: settings TLS/Key, else the "
                   "certificate file)");
    cli.set_version_flag("--version", "kelvra-serverd " KELVRA_VERSION);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) // --help, --version
            return cli.exit(e);
        std::fprintf(stderr, "kelvra-serverd: %s (see --help)\n", e.what());
        return 2;
    }
    options.HasPort = port->count() > 0;
    options.HasBind = bind->count() > 0;

    kelvra::RaiseFileLimit();
    // A peer that vanishes must not kill the server; sends use MSG_NOSIGNAL, but
    // stdout and stderr may be pipes to a reader that is gone.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    return kelvra::Run(options);
}
