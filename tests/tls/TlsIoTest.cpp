// The TLS front end on its own: a socket pair with an OpenSSL client on the
// other end, driven step by step without an event loop.
#include "TlsIo.h"
#include "SelfSignedCertificate.h"
#include "TlsContext.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kelvra;

namespace {

class TlsIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeSelfSignedCertificate(Dir.path(), "a", "alpha", Cert));
        QString error;
        ASSERT_TRUE(TTlsContext::Load(Cert.CertificatePath, Cert.KeyPath, Server, &error))
            << error.toStdString();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ServerFd = fds[0];
        ClientFd = fds[1];
        for (int fd : fds)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        ClientCtx = SSL_CTX_new(TLS_client_method());
        Client = SSL_new(ClientCtx);
        SSL_set_fd(Client, ClientFd);
        SSL_set_connect_state(Client);
    }
    void TearDown() override {
        SSL_free(Client);
        SSL_CTX_free(ClientCtx);
        if (ClientFd >= 0)
            close(ClientFd);
    }

    // Both sides take turns until the handshake is done on both.
    bool Handshake(TTlsIo& io) {
        char buffer[64];
        for (int step = 0; step < 100; ++step) {
            const bool clientDone = SSL_do_handshake(Client) == 1;
            io.Read(buffer, sizeof buffer);
            if (clientDone && !io.Handshaking()) {
                // The session ticket that follows the handshake is read here.
                SSL_read(Client, buffer, sizeof buffer);
                ERR_clear_error();
                return true;
            }
        }
        return false;
    }

    // What the client can decrypt now.
    std::string ClientReads() {
        std::string got;
        char buffer[16384];
        int n;
        while ((n = SSL_read(Client, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        ERR_clear_error();
        return got;
    }

    QTemporaryDir Dir;
    TCertificateFiles Cert;
    TTlsContext Server;
    int ServerFd = -1;
    int ClientFd = -1;
    SSL_CTX* ClientCtx = nullptr;
    SSL* Client = nullptr;
};

TEST_F(TlsIoTest, CarriesBothWaysWithOneRecordPerWriteAndClosesInOrder) {
    TTlsIo io(ServerFd, Server.Get());
    ASSERT_TRUE(io.Valid());
    EXPECT_EQ(io.Kind(), "tls");
    EXPECT_TRUE(io.Encrypted());
    EXPECT_TRUE(io.Handshaking());
    ASSERT_TRUE(Handshake(io));
    EXPECT_GE(SSL_version(Client), TLS1_2_VERSION);

    char a[] = "ab", b[] = "cde", c[] = "fghij";
    const iovec parts[] = {{a, 2}, {b, 3}, {c, 5}};
    const TIoResult written = io.Write(parts, 3);
    EXPECT_EQ(written.Status, TIoStatus::Ok);
    EXPECT_EQ(written.Bytes, 10);
    // One TLS 1.3 record: 5 bytes of header, the 10 bytes, the content type
    // and a 16-byte tag.
    char raw[256];
    EXPECT_EQ(recv(ClientFd, raw, sizeof raw, MSG_PEEK), 5 + 10 + 1 + 16);
    EXPECT_EQ(ClientReads(), "abcdefghij");

    ASSERT_EQ(SSL_write(Client, "hello", 5), 5);
    char buffer[64];
    const TIoResult read = io.Read(buffer, sizeof buffer);
    ASSERT_EQ(read.Status, TIoStatus::Ok);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(read.Bytes)), "hello");
    EXPECT_EQ(io.Read(buffer, sizeof buffer).Status, TIoStatus::WouldBlock);

    io.Shutdown();
    EXPECT_EQ(SSL_read(Client, buffer, sizeof buffer), 0);
    EXPECT_EQ(SSL_get_error(Client, 0), SSL_ERROR_ZERO_RETURN);
    SSL_shutdown(Client);
    EXPECT_EQ(io.Read(buffer, sizeof buffer).Status, TIoStatus::Closed);
}

TEST_F(TlsIoTest, HoldsWhatTheSocketCannotTakeAndDeliversItInOrder) {
    const int small = 4096;
    setsockopt(ServerFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    TTlsIo io(ServerFd, Server.Get());
    ASSERT_TRUE(Handshake(io));

    std::string sent(200 * 1024, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 23);
    iovec first{sent.data(), sent.size() - 1000};
    const TIoResult taken = io.Write(&first, 1);
    ASSERT_EQ(taken.Status, TIoStatus::Ok);
    EXPECT_EQ(taken.Bytes, static_cast<qsizetype>(sent.size() - 1000));
    EXPECT_GT(io.Held(), 0);
    EXPECT_TRUE(io.WantsWrite());
    // Nothing new is taken before the held bytes are out.
    iovec rest{sent.data() + sent.size() - 1000, 1000};
    EXPECT_EQ(io.Write(&rest, 1).Status, TIoStatus::WouldBlock);

    std::string got;
    bool restTaken = false;
    for (int round = 0; round < 10000 && got.size() < sent.size(); ++round) {
        got += ClientReads();
        if (!restTaken) {
            const TIoResult r = io.Write(&rest, 1);
            ASSERT_NE(r.Status, TIoStatus::Failed);
            restTaken = r.Status == TIoStatus::Ok && r.Bytes == 1000;
        } else if (io.WantsWrite()) {
            ASSERT_NE(io.Write(nullptr, 0).Status, TIoStatus::Failed);
        }
    }
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    EXPECT_EQ(io.Held(), 0);
    EXPECT_FALSE(io.WantsWrite());
}

TEST_F(TlsIoTest, PlainSpeechFailsTheHandshake) {
    TTlsIo io(ServerFd, Server.Get());
    const char plain[] = "\x01KMSG\x00\x00\x00\x01";
    ASSERT_GT(write(ClientFd, plain, sizeof plain), 0);
    char buffer[64];
    EXPECT_EQ(io.Read(buffer, sizeof buffer).Status, TIoStatus::Failed);
    EXPECT_TRUE(io.Handshaking());
}

TEST_F(TlsIoTest, ContextRefusesMissingUnreadableAndMismatchedFiles) {
    TCertificateFiles other;
    ASSERT_TRUE(MakeSelfSignedCertificate(Dir.path(), "b", "beta", other));
    const QString missing = Dir.filePath("missing.crt");
    QFile junk(Dir.filePath("junk.crt"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a certificate\n");
    junk.close();

    struct TCase {
        QString Cert, Key, Expected;
    } cases[] = {
        {missing, Cert.KeyPath, missing},
        {Cert.CertificatePath, Dir.filePath("missing.key"), "missing.key"},
        {Dir.path(), Cert.KeyPath, "it is a folder"},
        {junk.fileName(), Cert.KeyPath, "no usable certificate"},
        {Cert.CertificatePath, junk.fileName(), "no usable private key"},
        {Cert.CertificatePath, other.KeyPath, "does not belong to the certificate"},
    };
    for (const TCase& c : cases) {
        TTlsContext context;
        QString error;
        EXPECT_FALSE(TTlsContext::Load(c.Cert, c.Key, context, &error)) << c.Expected.toStdString();
        EXPECT_TRUE(error.contains(c.Expected)) << error.toStdString();
        EXPECT_FALSE(context.IsValid());
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
}

} // namespace
