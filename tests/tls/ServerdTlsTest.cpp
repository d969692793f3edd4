// kelvra-serverd with a TLS port beside the plain one: one community across
// both, refusal to start without a usable certificate, hostile or stalled
// peers on the TLS port, the web port as HTTPS and wss with the same
// certificate, and a certificate renewed by SIGHUP.
#include "SelfSignedCertificate.h"
#include "ToolProcess.h"

#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QWebSocket>
#include <gtest/gtest.h>

#include <algorithm>

using namespace kelvra;
using kelvra::test::ToolPath;
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
quint16 StartWithTls(TServerdProcess& server, const TCertificateFiles& cert,
                     const QStringList& more = {}) {
    if (!server.Start(TlsArgs(cert) + more))
        return 0;
    const QByteArray line = NextLine(server.Process);
    if (!line.startsWith("listening (TLS) on 0.0.0.0:"))
        return 0;
    return static_cast<quint16>(line.mid(line.lastIndexOf(':') + 1).toUInt());
}

// The web port from the line after the TLS one: "web page on https://A:P/".
quint16 WebPortOf(TServerdProcess& server) {
    const QByteArray line = NextLine(server.Process);
    if (!line.startsWith("web page on https://0.0.0.0:") || !line.endsWith('/'))
        return 0;
    return static_cast<quint16>(line.mid(line.lastIndexOf(':') + 1).chopped(1).toUInt());
}

bool Spin(const std::function<bool()>& done, int msecs = 10000) {
    QDeadlineTimer deadline(msecs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

bool LogIn(TRecordClient& client, const QByteArray& nick) {
    client.Send(MakePacket(KMS_LOGIN, nick, "0"));
    client.Send(MakePacket(KMS_USER, nick, {}));
    return client.WaitForCode(KMC_OKAY).has_value();
}

bool RoundTrip(TRecordClient& client) {
    return client.RoundTrip();
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

TEST_F(ServerdTls, WebPortServesHttpsAndWssWithTheSameCertificate) {
    TServerdProcess server;
    server.WriteSettings("[Limits]\nRecordTimeLimit=1\n");
    ASSERT_NE(StartWithTls(server, Cert, {"--web-port", "0"}), 0);
    const quint16 webPort = WebPortOf(server);
    ASSERT_NE(webPort, 0);
    TRecordClient stalled; // never says hello
    ASSERT_TRUE(stalled.Connect(webPort));

    TRecordClient page;
    ASSERT_TRUE(page.ConnectEncrypted(webPort));
    EXPECT_EQ(PeerName(page), "alpha");
    page.Socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (page.Socket.waitForReadyRead(5000) || page.Socket.bytesAvailable() > 0)
        answer += page.Socket.readAll();
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK")) << answer.left(200).constData();
    EXPECT_TRUE(answer.contains("<title>Kelvra Chat</title>"));

    // Plain HTTP to the HTTPS port is dropped without an answer.
    TRecordClient confused;
    ASSERT_TRUE(confused.Connect(webPort));
    confused.Socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(confused.Socket.waitForDisconnected(10000) ||
                confused.Socket.state() == QAbstractSocket::UnconnectedState);
    EXPECT_FALSE(confused.Socket.readAll().contains("HTTP/1.1"));

    // The page's own origin is https://host:port; the plain one is foreign.
    const QUrl url(QStringLiteral("wss://127.0.0.1:%1/ws").arg(webPort));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    QWebSocket foreign(QStringLiteral("http://127.0.0.1:%1").arg(webPort));
    foreign.setSslConfiguration(ssl);
    foreign.open(url);
    QWebSocket web(QStringLiteral("https://127.0.0.1:%1").arg(webPort));
    web.setSslConfiguration(ssl);
    TStreamDecoder decoder;
    std::vector<TDataPacket> got;
    QObject::connect(&web, &QWebSocket::binaryMessageReceived, [&](const QByteArray& m) {
        decoder.Feed(m.constData(), m.size());
        for (TDataPacket p; decoder.Next(p);)
            got.push_back(p);
    });
    web.open(url);
    ASSERT_TRUE(Spin([&] { return web.state() == QAbstractSocket::ConnectedState; }))
        << web.errorString().toStdString();
    EXPECT_TRUE(Spin([&] { return foreign.state() == QAbstractSocket::UnconnectedState; }));

    TRecordClient plain;
    ASSERT_TRUE(plain.Connect(server.Port));
    ASSERT_TRUE(LogIn(plain, "plainuser"));
    web.sendBinaryMessage(EncodePacket(MakePacket(KMS_LOGIN, "webuser", "0")) +
                          EncodePacket(MakePacket(KMS_USER, "webuser", {})));
    ASSERT_TRUE(Spin([&] {
        return std::any_of(got.begin(), got.end(),
                           [](const TDataPacket& p) { return p.Code == KMC_OKAY; });
    }));
    web.sendBinaryMessage(EncodePacket(MakePacket(KMS_MESSAGE, "plainuser", "over wss")));
    web.flush(); // the plain client waits without an event loop
    const auto heard = plain.WaitForCode(KMC_MESSAGE);
    ASSERT_TRUE(heard.has_value());
    EXPECT_EQ(heard->Param2, "over wss");
    plain.Send(MakePacket(KMS_MESSAGE, "webuser", "back again"));
    EXPECT_TRUE(Spin([&] { return got.back().Code == KMC_MESSAGE; }));
    EXPECT_EQ(got.back().Param2, "back again");

    QProcess admin;
    admin.start(ToolPath("kelvra-admin"), {"--socket", server.ControlPath, "--json", "users"});
    ASSERT_TRUE(admin.waitForFinished(10000));
    EXPECT_TRUE(admin.readAllStandardOutput().contains("\"link\": \"wss\""));
    EXPECT_TRUE(stalled.Socket.waitForDisconnected(20000) ||
                stalled.Socket.state() == QAbstractSocket::UnconnectedState);
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
    const quint16 tlsPort = StartWithTls(server, Cert, {"--web-port", "0"});
    ASSERT_NE(tlsPort, 0);
    const quint16 webPort = WebPortOf(server);
    ASSERT_NE(webPort, 0);
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

    TRecordClient late, lateWeb;
    ASSERT_TRUE(late.ConnectEncrypted(tlsPort));
    EXPECT_EQ(PeerName(late), "beta");
    ASSERT_TRUE(lateWeb.ConnectEncrypted(webPort));
    EXPECT_EQ(PeerName(lateWeb), "beta");
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
