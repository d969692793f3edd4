// kelvra-serverd with a TLS port beside the plain one: one community across
// both, refusal to start without a usable certificate, hostile or stalled
// peers on the TLS port, and a certificate renewed by SIGHUP.
#include "SelfSignedCertificate.h"
#include "ToolProcess.h"

#include <QSslCertificate>
#include <gtest/gtest.h>

using namespace kelvra;
using kelvra::test::TRecordClient;
using kelvra::test::TServerdProcess;

namespace {

QStringList TlsArgs(const TCertificateFiles& cert) {
    return {"--tls-port", "0", "--tls-cert", cert.CertificatePath, "--tls-key", cert.KeyPath};
}

QByteArray NextLine(QProcess& process, int msecs = 15000) {
    QDeadlineTimer deadline(msecs);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    return process.readLine().trimmed();
}

// The TLS port from the line after "listening on"; 0 when it did not come.
quint16 StartWithTls(TServerdProcess& server, const TCertificateFiles& cert) {
    if (!server.Start(TlsArgs(cert)))
        return 0;
    const QByteArray line = NextLine(server.Process);
    if (!line.startsWith("listening (TLS) on 0.0.0.0:"))
        return 0;
    return static_cast<quint16>(line.mid(line.lastIndexOf(':') + 1).toUInt());
}

bool LogIn(TRecordClient& client, const QByteArray& nick) {
    client.Send(MakePacket(KMS_LOGIN, nick, "0"));
    client.Send(MakePacket(KMS_USER, nick, {}));
    return client.WaitForCode(KMC_OKAY).has_value();
}

bool RoundTrip(TRecordClient& client) {
    client.Send(MakePacket(KMS_SERVERNICK));
    return client.WaitForCode(KMC_SERVERNICK).has_value();
}

bool Hears(TRecordClient& client, const QByteArray& text) {
    return client
        .WaitFor(
            [&](const TDataPacket& p) { return p.Code == KMC_CHATDATA && p.Param2.endsWith(text); })
        .has_value();
}

QString PeerName(const TRecordClient& client) {
    const QStringList names =
        client.Socket.peerCertificate().subjectInfo(QSslCertificate::CommonName);
    return names.isEmpty() ? QString() : names.first();
}

class ServerdTls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeSelfSignedCertificate(Certs.path(), "alpha", "alpha", Cert));
    }
    QTemporaryDir Certs;
    TCertificateFiles Cert;
};

TEST_F(ServerdTls, PlainAndTlsUsersShareOneChat) {
    TServerdProcess server;
    const quint16 tlsPort = StartWithTls(server, Cert);
    ASSERT_NE(tlsPort, 0) << server.Process.readAllStandardError().constData();

    TRecordClient plain, secure;
    ASSERT_TRUE(plain.Connect(server.Port));
    ASSERT_TRUE(secure.ConnectEncrypted(tlsPort)) << secure.Socket.errorString().toStdString();
    EXPECT_TRUE(secure.Socket.isEncrypted());
    EXPECT_EQ(PeerName(secure), "alpha");
    ASSERT_TRUE(LogIn(plain, "plainuser"));
    ASSERT_TRUE(LogIn(secure, "tlsuser"));

    plain.Send(MakePacket(KMS_CREATE, "Lobby", {}));
    ASSERT_TRUE(secure.WaitForCode(KMC_ADDCHAT));
    secure.Send(MakePacket(KMS_JOIN, "Lobby", {}));
    ASSERT_TRUE(secure.WaitForCode(KMC_JOINED));
    plain.Send(MakePacket(KMS_CHATDATA, "Lobby", "from the plain port"));
    EXPECT_TRUE(Hears(secure, "from the plain port"));
    secure.Send(MakePacket(KMS_CHATDATA, "Lobby", "from the TLS port"));
    EXPECT_TRUE(Hears(plain, "from the TLS port"));

    // Records spoken plainly to the TLS port end that connection only.
    TRecordClient confused;
    ASSERT_TRUE(confused.Connect(tlsPort));
    confused.Send(MakePacket(KMS_LOGIN, "confused", "0"));
    EXPECT_TRUE(confused.Socket.waitForDisconnected(10000) ||
                confused.Socket.state() == QAbstractSocket::UnconnectedState);
    EXPECT_TRUE(RoundTrip(secure));

    server.Signal(SIGTERM);
    EXPECT_TRUE(secure.WaitForCode(KMC_STATUS));
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST_F(ServerdTls, RefusesToStartWithoutAUsableCertificate) {
    TCertificateFiles other;
    ASSERT_TRUE(MakeSelfSignedCertificate(Certs.path(), "other", "other", other));
    const QString missing = Certs.filePath("missing.pem");
    const struct {
        QStringList Args;
        QString Expected;
    } cases[] = {
        {{"--tls-port", "0", "--tls-cert", missing, "--tls-key", Cert.KeyPath}, missing},
        {{"--tls-port", "0", "--tls-cert", Cert.CertificatePath, "--tls-key", missing}, missing},
        {{"--tls-port", "0", "--tls-cert", Cert.CertificatePath, "--tls-key", other.KeyPath},
         "does not belong to the certificate"},
        {{"--tls-port", "0"}, "no certificate"},
        {{"--tls-cert", Cert.CertificatePath}, "no TLS port"},
    };
    for (const auto& c : cases) {
        TServerdProcess server;
        server.WriteSettings();
        server.Launch(
            QStringList{"--nick", "srv", "--settings", server.SettingsPath, "--port", "0"} +
            c.Args);
        EXPECT_EQ(server.WaitForExit(), 1) << c.Expected.toStdString();
        EXPECT_TRUE(server.Process.readAllStandardOutput().isEmpty()) << "listened without TLS";
        const QString error = QString::fromUtf8(server.Process.readAllStandardError());
        EXPECT_TRUE(error.startsWith("<3>kelvra-serverd: ") && error.contains(c.Expected))
            << error.toStdString();
    }
}

TEST_F(ServerdTls, StalledHandshakeIsDroppedWhileOthersGoOn) {
    TServerdProcess server;
    server.WriteSettings("[Limits]\nRecordTimeLimit=1\n");
    const quint16 tlsPort = StartWithTls(server, Cert);
    ASSERT_NE(tlsPort, 0);

    TRecordClient silent, halfHello;
    ASSERT_TRUE(silent.Connect(tlsPort));
    ASSERT_TRUE(halfHello.Connect(tlsPort));
    halfHello.Socket.write(QByteArray::fromHex("160301"), 3);
    halfHello.Socket.waitForBytesWritten(5000);

    TRecordClient secure;
    ASSERT_TRUE(secure.ConnectEncrypted(tlsPort));
    ASSERT_TRUE(LogIn(secure, "patient"));
    EXPECT_TRUE(RoundTrip(secure));

    for (TRecordClient* stalled : {&silent, &halfHello})
        EXPECT_TRUE(stalled->Socket.waitForDisconnected(20000) ||
                    stalled->Socket.state() == QAbstractSocket::UnconnectedState);
    EXPECT_TRUE(RoundTrip(secure));
}

TEST_F(ServerdTls, HangUpServesTheRenewedCertificateToNewConnections) {
    TServerdProcess server;
    const quint16 tlsPort = StartWithTls(server, Cert);
    ASSERT_NE(tlsPort, 0);
    TRecordClient early;
    ASSERT_TRUE(early.ConnectEncrypted(tlsPort));
    ASSERT_TRUE(LogIn(early, "early"));
    EXPECT_EQ(PeerName(early), "alpha");

    // Renewed in place, as a certificate tool would do it.
    TCertificateFiles renewed;
    ASSERT_TRUE(MakeSelfSignedCertificate(Certs.path(), "beta", "beta", renewed));
    for (const auto& [from, to] : {std::pair{renewed.CertificatePath, Cert.CertificatePath},
                                   std::pair{renewed.KeyPath, Cert.KeyPath}}) {
        QFile::remove(to);
        ASSERT_TRUE(QFile::copy(from, to));
    }
    server.Signal(SIGHUP);
    EXPECT_TRUE(server.WaitForStderr("TLS certificate and key were read again"))
        << server.Err.constData();

    TRecordClient late;
    ASSERT_TRUE(late.ConnectEncrypted(tlsPort));
    EXPECT_EQ(PeerName(late), "beta");
    ASSERT_TRUE(LogIn(late, "late"));
    EXPECT_TRUE(RoundTrip(early));

    // A broken renewal keeps the certificate in use and says why.
    QFile broken(Cert.CertificatePath);
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("-----BEGIN CERTIFICATE-----\ngarbage\n");
    broken.close();
    server.Signal(SIGHUP);
    EXPECT_TRUE(server.WaitForStderr("stays in use")) << server.Err.constData();
    TRecordClient third;
    ASSERT_TRUE(third.ConnectEncrypted(tlsPort));
    EXPECT_EQ(PeerName(third), "beta");
    EXPECT_TRUE(RoundTrip(early));
}

} // namespace
