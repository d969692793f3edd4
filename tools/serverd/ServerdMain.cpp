// kelvra-serverd: the server core of the console, without a window. The
// settings store, start-up and shutdown steps are the console's own; only the
// Server Login dialog is replaced by options and a configuration file (and the
// settings it would show).
#include "ConnectionManager.h"
#include "Daemon.h"
#include "LoginLog.h"
#include "LoginSettings.h"
#include "ProcessLimits.h"
#include "ServerRuntime.h"
#include "ServerdControl.h"
#include "ServerdSettings.h"
#include "ServerdView.h"
#include "SignalPipe.h"
#include "TextUtil.h"
#include "TlsFrontEnd.h"
#include "WebFront.h"
#include "WebSettings.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <string>

namespace kelvra {
namespace {

struct TOptions {
    std::string Nick;
    bool HasNick = false;
    std::string Port;
    bool HasPort = false;
    std::string Bind;
    bool HasBind = false;
    bool Log = false;
    bool Quiet = false;
    std::string SettingsFile;
    std::string ConfigFile;
    std::string Control;
    std::string WebPort;
    bool HasWebPort = false;
    std::string TlsPort, TlsCert, TlsKey; // empty: from the settings' [TLS]
};

// An error for the journal (priority 3), one line per line of text.
void Fail(const QString& text) {
    for (const QString& line : text.split(QLatin1Char('\n')))
        std::fprintf(stderr, "<3>kelvra-serverd: %s\n", qPrintable(line));
}

TServerdSettings::TChoices Choices(const TOptions& options) {
    TServerdSettings::TChoices choices;
    choices.ConfigFile = QString::fromStdString(options.ConfigFile);
    choices.SettingsFile = QString::fromStdString(options.SettingsFile);
    if (options.HasNick)
        choices.Nick = QByteArray::fromStdString(options.Nick);
    if (options.HasPort)
        choices.Port = QString::fromStdString(options.Port);
    if (options.HasBind)
        choices.Bind = QString::fromStdString(options.Bind);
    return choices;
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
    TServerdView view(options.Log, options.Quiet);
    // The configuration, then the state file, then every file written later:
    // a file that cannot be written is an error now, not a loss later.
    TServerdSettings settings(Choices(options));
    QString error;
    QStringList warnings;
    TServerdSettings::TValues values;
    if (!settings.Open(&error, &warnings) || !settings.Values(&values, &error)) {
        Fail(error);
        return 1;
    }
    for (const QString& warning : warnings)
        view.Journal(TServerdView::Warning, warning);
    TRegLink& reg = settings.Store();

    TServerRuntime runtime(view, reg);
    // Log rotation may move the login log away at any time.
    LoginLog::SetCreateMissing(true);
    runtime.ReadPaths();
    if (const QStringList problems = runtime.CheckDataFiles(); !problems.isEmpty()) {
        Fail(problems.join(QLatin1Char('\n')));
        return 1;
    }
    runtime.LoadStores();
    const QString& port = values.Port;
    const QString& bind = values.Bind;

    // Installed before listening, so no client ever sees a server that cannot be stopped cleanly.
    TSignalPipe signalPipe;
    if (!signalPipe.Install(true)) {
        Fail(QStringLiteral("cannot install the signal handlers: %1").arg(qt_error_string(errno)));
        return 1;
    }

    TServerdControl control(runtime);
    control.Ops().LinkKind = [&runtime](SocketHandle socket) {
        return runtime.Connections().LinkKind(socket);
    };
    if (QString error; !control.Start(options.Control, &error)) {
        Fail(error);
        return 1;
    }

    const auto result = runtime.Start(values.Nick, port, values.Password, bind);
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
    TWebSettings web = ReadWebSettings(reg);
    if (options.HasWebPort)
        web.Port = QString::fromStdString(options.WebPort);
    // With a TLS port the page and its WebSocket are encrypted too, with the
    // same certificate: a password never crosses the network in clear there.
    if (tls.IsActive()) {
        web.Certificate = tlsSettings.Certificate;
        web.Key = tlsSettings.Key;
    }
    QString webError;
    TWebFront* webFront = OpenWebPort(runtime.Connections(), web, bind, webError);
    if (webFront)
        std::printf("web page on %s://%s:%u/\n", webFront->Secure() ? "https" : "http",
                    qPrintable(shownAddress), static_cast<unsigned>(webFront->Port()));
    std::fflush(stdout);
    if (!webError.isEmpty()) {
        Fail(webError);
        runtime.Stop();
        return 1;
    }

    TDaemon daemon(settings, runtime, view, values);
    daemon.Started(runtime.Connections().ListenPort());
    // Certificates are renewed every few weeks: a reload reads them again for
    // new connections, and the connections already open carry on.
    daemon.AddReloadHook([&tls, webFront](TReloadReport& report) {
        if (!tls.IsActive())
            return;
        QString error;
        if (!tls.Reload(&error)) {
            report.Fail(error);
            return;
        }
        // The files were good for the TLS port; the web port takes the same.
        if (webFront && webFront->Secure() &&
            !webFront->UseCertificate(tls.Settings().Certificate, tls.Settings().Key, &error)) {
            report.Fail(QStringLiteral("the web port keeps its certificate: ") + error);
            return;
        }
        report.Note(QStringLiteral("the TLS certificate and key were read again"));
    });
    control.Ops().Reload = [&daemon](QString* report) { return daemon.Reload(report); };
    // SIGTERM and SIGINT: the console's close (warn everybody, save, then close
    // every socket). SIGHUP: read the settings again.
    QObject::connect(&signalPipe, &TSignalPipe::Received,
                     [&daemon](int) { QCoreApplication::exit(daemon.Close()); });
    QObject::connect(&signalPipe, &TSignalPipe::ReloadRequested, [&daemon] { daemon.Reload(); });
    return QCoreApplication::exec();
}

} // namespace
} // namespace kelvra

int main(int argc, char** argv) {
    kelvra::TOptions options;
    CLI::App cli{"Kelvra Chat Server without a window: the server core of the console, "
                 "configured by options, a configuration file and the settings store. "
                 "SIGHUP reads the settings again; SIGTERM and SIGINT close in order."};
    auto* nick = cli.add_option("--nick", options.Nick,
                                "Server nickname (the name the server speaks under; default: "
                                "Nickname in [Server] of the configuration)");
    auto* port = cli.add_option("--port", options.Port,
                                "TCP port or service name; 0 picks a free port (default: Port "
                                "of the configuration, else the console's port preset, else "
                                "1024)");
    auto* bind = cli.add_option("--bind", options.Bind,
                                "Local IPv4 address to listen on, or \"<Any Connection>\" "
                                "(0.0.0.0) (default: Bind of the configuration, else settings "
                                "Main/Home)");
    cli.add_flag("--log", options.Log,
                 "Print every record in and out, socket errors and client failures on stderr "
                 "(passwords masked)");
    cli.add_flag("--quiet", options.Quiet,
                 "Journal only warnings and errors on stderr, not every connection and login");
    cli.add_option("--config", options.ConfigFile,
                   "Read-only configuration file ([Server], [Files], [TLS], [Limits]); the "
                   "settings file then keeps only the server's state");
    cli.add_option("--settings", options.SettingsFile,
                   "Settings INI file to use instead of the per-user settings store (its "
                   "folder must exist); with --config, the state file (bans, paths, presets)");
    cli.add_option("--control", options.Control,
                   "Control socket for kelvra-admin, or \"none\" (default: "
                   "$RUNTIME_DIRECTORY/control, else $XDG_RUNTIME_DIR/kelvra/control)");
    auto* webPort = cli.add_option("--web-port", options.WebPort,
                                   "Serve the chat page and WebSocket users on this port, as HTTPS "
                                   "and wss with the TLS certificate when a TLS port is on "
                                   "(default: Web/Port of the configuration or settings, else "
                                   "none)");
    cli.add_option("--tls-port", options.TlsPort,
                   "Also listen for TLS on this port (default: TLS/Port of the configuration or "
                   "settings; none when empty)");
    cli.add_option("--tls-cert", options.TlsCert,
                   "PEM certificate chain for the TLS port (default: TLS/Certificate)");
    cli.add_option("--tls-key", options.TlsKey,
                   "PEM private key of the certificate (default: TLS/Key, else the "
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
    options.HasNick = nick->count() > 0;
    options.HasPort = port->count() > 0;
    options.HasBind = bind->count() > 0;
    options.HasWebPort = webPort->count() > 0;

    kelvra::RaiseFileLimit();
    // A peer that vanishes must not kill the server; sends use MSG_NOSIGNAL, but
    // stdout and stderr may be pipes to a reader that is gone.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    return kelvra::Run(options);
}
