#pragma once
// Running the tool binaries from tests: where they are, a kelvra-serverd with
// private settings in a temporary folder, and a plain record client.
#include "DataPacket.h"
#include "PacketCodes.h"
#include "WireCodec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <optional>
#include <vector>

#include <csignal>

namespace kelvra::test {

inline QString ToolPath(const QString& name) {
    QString dir = qEnvironmentVariable("KELVRA_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return dir + QLatin1Char('/') + name;
}

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// kelvra-serverd on a free port, with its settings, login log and mail file
// in a folder of its own.
class TServerdProcess {
public:
    TServerdProcess() {
        SettingsPath = Dir.filePath("settings.ini");
        LogPath = Dir.filePath("klog.dat");
        MailPath = Dir.filePath("kmail.dat");
        ControlPath = Dir.filePath("control");
    }
    ~TServerdProcess() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }

    // The settings file: the two paths in [General], then `more` as given.
    void WriteSettings(const QByteArray& more = {}) {
        QFile f(SettingsPath);
        f.open(QIODevice::WriteOnly);
        f.write("[General]\nLogfile=" + LogPath.toUtf8() + "\nMailfile=" + MailPath.toUtf8() +
                "\n" + more);
    }

    // A control socket of its own in the folder, unless args name one or the
    // test leaves the default to the environment.
    void Launch(QStringList args) {
        if (OwnControl && !args.contains(QStringLiteral("--control")))
            args << QStringLiteral("--control") << ControlPath;
        Process.start(ToolPath("kelvra-serverd"), args);
    }

    // Starts (with --port 0 unless told to leave the port to the settings) and
    // waits for the "listening on" line; Port is 0 when it did not come.
    bool Start(QStringList args = {}, bool freePort = true, int msecs = 15000) {
        if (!QFile::exists(SettingsPath))
            WriteSettings();
        args = QStringList{"--nick", "srv", "--settings", SettingsPath} + args;
        if (freePort)
            args << "--port"
                 << "0";
        return StartWith(args, msecs);
    }
    // Starts with exactly these options.
    bool StartWith(const QStringList& args, int msecs = 15000) {
        Launch(args);
        if (!Process.waitForStarted(msecs))
            return false;
        QDeadlineTimer deadline(msecs);
        while (!Process.canReadLine() && !deadline.hasExpired() &&
               Process.state() == QProcess::Running)
            Process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        ListenLine = Process.readLine().trimmed();
        const int colon = ListenLine.lastIndexOf(':');
        if (!ListenLine.startsWith("listening on ") || colon < 0)
            return false;
        Port = static_cast<quint16>(ListenLine.mid(colon + 1).toUInt());
        return Port != 0;
    }

    void Signal(int signo) { ::kill(static_cast<pid_t>(Process.processId()), signo); }

    // Reads stderr into Err until it holds text; false when it did not come in time.
    bool WaitForStderr(const QByteArray& text, int msecs = 15000) {
        Process.setReadChannel(QProcess::StandardError);
        QDeadlineTimer deadline(msecs);
        for (;;) {
            Err += Process.readAllStandardError();
            if (Err.contains(text))
                return true;
            if (deadline.hasExpired() || Process.state() != QProcess::Running)
                return false;
            Process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    // Exit code after a normal end, -1 after a crash or when it did not end in time.
    int WaitForExit(int msecs = 15000) {
        if (!Process.waitForFinished(msecs))
            return -1;
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }

    QTemporaryDir Dir;
    QString SettingsPath, LogPath, MailPath, ControlPath;
    bool OwnControl = true;
    QProcess Process;
    QByteArray ListenLine;
    QByteArray Err; // stderr read so far by WaitForStderr
    quint16 Port = 0;
};

// A client that speaks records over a blocking socket, plain or TLS.
class TRecordClient {
public:
    bool Connect(quint16 port, int msecs = 5000) {
        Socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return Socket.waitForConnected(msecs);
    }
    // TLS without checking the certificate (tests make their own).
    bool ConnectEncrypted(quint16 port, int msecs = 5000) {
        Socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        Socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return Socket.waitForEncrypted(msecs);
    }
    void Send(const TDataPacket& p) {
        Socket.write(EncodePacket(p));
        Socket.waitForBytesWritten(5000);
    }
    // Reads until a record satisfies `match`; everything read is kept in Received.
    std::optional<TDataPacket> WaitFor(const std::function<bool(const TDataPacket&)>& match,
                                       int msecs = 10000) {
        QDeadlineTimer deadline(msecs);
        for (;;) {
            if (Socket.bytesAvailable() > 0) {
                const QByteArray bytes = Socket.readAll();
                Decoder.Feed(bytes.constData(), bytes.size());
                TDataPacket p;
                while (Decoder.Next(p))
                    Received.push_back(p);
            }
            for (; Checked < Received.size(); ++Checked)
                if (match(Received[Checked]))
                    return Received[Checked++];
            if (deadline.hasExpired())
                return std::nullopt;
            const int left = static_cast<int>(qMax<qint64>(1, deadline.remainingTime()));
            if (!Socket.waitForReadyRead(left) && Socket.bytesAvailable() == 0 &&
                Socket.state() != QAbstractSocket::ConnectedState)
                return std::nullopt;
        }
    }
    std::optional<TDataPacket> WaitForCode(int32_t code, int msecs = 10000) {
        return WaitFor([code](const TDataPacket& p) { return p.Code == code; }, msecs);
    }

    // The server has handled everything sent before this returns. Two
    // questions, since a login's own server nickname may still be on its way
    // and answer the first.
    bool RoundTrip() {
        Send(MakePacket(KMS_SERVERNICK));
        Send(MakePacket(KMS_SERVERNICK));
        return WaitForCode(KMC_SERVERNICK).has_value() && WaitForCode(KMC_SERVERNICK).has_value();
    }

    QSslSocket Socket;
    TStreamDecoder Decoder;
    std::vector<TDataPacket> Received;
    size_t Checked = 0;
};

} // namespace kelvra::test
