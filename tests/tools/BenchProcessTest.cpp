// kelvra-bench as a process: a small spawned run reports every figure; a run
// that cannot finish reports what it reached and says so in its exit code.
#include "ToolProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <gtest/gtest.h>

using kelvra::test::ToolPath;

namespace {

struct TBenchRun {
    int ExitCode = -1;
    QJsonObject Result;
    QByteArray Errors;
};

TBenchRun RunBench(const QStringList& args, int msecs) {
    QProcess bench;
    bench.start(ToolPath("kelvra-bench"), args + QStringList{"--no-progress"});
    TBenchRun run;
    if (!bench.waitForFinished(msecs)) {
        bench.kill();
        bench.waitForFinished(5000);
        return run;
    }
    run.ExitCode = bench.exitStatus() == QProcess::NormalExit ? bench.exitCode() : -1;
    run.Result = QJsonDocument::fromJson(bench.readAllStandardOutput()).object();
    run.Errors = bench.readAllStandardError();
    return run;
}

} // namespace

TEST(Bench, SmallSpawnedRunReportsEveryFigure) {
    const TBenchRun run = RunBench(
        {"-n", "20", "-s", "2", "-m", "20", "--spawn", "--json", "--timeout", "60"}, 90000);
    ASSERT_EQ(run.ExitCode, 0) << run.Errors.constData();
    const QJsonObject& r = run.Result;
    EXPECT_TRUE(r["completed"].toBool());
    EXPECT_EQ(r["phase"].toString(), "done");
    EXPECT_EQ(r["clients"].toInt(), 20);
    EXPECT_EQ(r["joined"].toInt(), 20);
    // Every member, the senders included, gets every message.
    EXPECT_EQ(r["expected_deliveries"].toInteger(), 2 * 20 * 20);
    EXPECT_EQ(r["deliveries"].toInteger(), 2 * 20 * 20);
    EXPECT_GT(r["login_seconds"].toDouble(), 0);
    EXPECT_GT(r["logins_per_second"].toDouble(), 0);
    EXPECT_GT(r["deliveries_per_second"].toDouble(), 0);
    const double p50 = r["latency_p50_ms"].toDouble();
    const double p99 = r["latency_p99_ms"].toDouble();
    EXPECT_GT(p50, 0);
    EXPECT_LE(p50, p99);
    EXPECT_LE(p99, r["latency_max_ms"].toDouble());
    // The figures that come from the server's /proc entries.
    EXPECT_TRUE(r["server_rss_per_connection_kib"].isDouble());
    EXPECT_GT(r["server_rss_idle_kib"].toDouble(), 0);
    EXPECT_TRUE(r["server_cpu_us_per_delivery"].isDouble());
    EXPECT_GT(r["server_cpu_us_per_delivery"].toDouble(), 0);
    EXPECT_EQ(r["server_exit_code"].toInt(-1), 0);
}

TEST(Bench, SpawnedWssRunDeliversEverything) {
    const TBenchRun run = RunBench({"-n", "20", "-s", "2", "-m", "20", "--spawn", "--web", "--tls",
                                    "--json", "--timeout", "60"},
                                   90000);
    ASSERT_EQ(run.ExitCode, 0) << run.Errors.constData();
    EXPECT_TRUE(run.Result["web"].toBool());
    EXPECT_EQ(run.Result["deliveries"].toInteger(), 2 * 20 * 20);
    EXPECT_EQ(run.Result["server_exit_code"].toInt(-1), 0);
}

TEST(Bench, TimeoutReportsWhatWasReachedAndExits2) {
    // Connections complete in the kernel's backlog, but nobody ever answers.
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, 0));
    const TBenchRun run = RunBench({"--port", QString::number(mute.serverPort()), "-n", "3", "-s",
                                    "1", "-m", "1", "--timeout", "1", "--json"},
                                   30000);
    ASSERT_EQ(run.ExitCode, 3) << run.Errors.constData();
    EXPECT_FALSE(run.Result["completed"].toBool(true));
    EXPECT_TRUE(run.Result["timed_out"].toBool());
    EXPECT_EQ(run.Result["phase"].toString(), "login");
    EXPECT_EQ(run.Result["connected"].toInt(), 3);
    EXPECT_EQ(run.Result["joined"].toInt(), 0);
    EXPECT_TRUE(run.Result["server_rss_per_connection_kib"].isNull());
    EXPECT_TRUE(run.Errors.contains("timed out"));
}

TEST(Bench, BadSetUpsEndWithAMessage) {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    const TBenchRun refused = RunBench(
        {"--port", QString::number(closedPort), "-n", "2", "-s", "1", "--timeout", "10"}, 30000);
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_TRUE(refused.Errors.contains("connect")) << refused.Errors.constData();

    const TBenchRun tooManySenders = RunBench({"--spawn", "-n", "2", "-s", "3"}, 30000);
    EXPECT_EQ(tooManySenders.ExitCode, 2);
    EXPECT_TRUE(tooManySenders.Errors.contains("--senders"));

    const TBenchRun webAttack = RunBench({"--spawn", "--web", "--hostile", "flood"}, 30000);
    EXPECT_EQ(webAttack.ExitCode, 2);
    EXPECT_TRUE(webAttack.Errors.contains("--web")) << webAttack.Errors.constData();

    const TBenchRun noServer = RunBench({"-n", "2"}, 30000);
    EXPECT_EQ(noServer.ExitCode, 2);
    EXPECT_TRUE(noServer.Errors.contains("--port"));
}
