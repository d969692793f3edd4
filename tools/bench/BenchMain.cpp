// kelvra-bench: logs N clients in, seats them in one chat, lets S of them talk
// and measures what the server does with it.
#include "BenchConfig.h"
#include "BenchReport.h"
#include "HostileLoad.h"
#include "LoadGenerator.h"
#include "MessageStamp.h"
#include "ProcessLimits.h"
#include "SpawnedServer.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimedOut = 3;

// One attack against a server that is running or spawned for it.
int RunAttack(const kelvra::TBenchConfig& config, kelvra::THostileConfig hostile) {
    kelvra::RaiseFileLimit();
    kelvra::TSpawnedServer server;
    hostile.Host = config.Host;
    hostile.Port = config.Port;
    hostile.ServerPid = config.ServerPid;
    if (config.Spawn) {
        if (!server.Start(kelvra::TSpawnedServer::FindBesideSelf("kelvra-serverd"), 30)) {
            std::fprintf(stderr, "kelvra-bench: %s\n", server.Error().c_str());
            return kExitFailed;
        }
        hostile.Port = server.Port();
        hostile.ServerPid = server.Pid();
    }
    return kelvra::RunHostile(hostile) == 0 ? 0 : kExitFailed;
}

int Run(kelvra::TBenchConfig& config) {
    const rlim_t files = kelvra::RaiseFileLimit();
    if (files != RLIM_INFINITY && files < static_cast<rlim_t>(config.Clients) + 64) {
        std::fprintf(stderr,
                     "kelvra-bench: %d clients need more descriptors than the limit of %llu\n",
                     config.Clients, static_cast<unsigned long long>(files));
        return kExitFailed;
    }
    const std::string room = config.Room.empty() ? "bench" + std::to_string(getpid()) : config.Room;

    kelvra::TSpawnedServer server;
    int serverPid = config.ServerPid;
    if (config.Spawn) {
        const std::string exe = kelvra::TSpawnedServer::FindBesideSelf("kelvra-serverd");
        if (!server.Start(exe, 30, config.Tls, config.Web)) {
            std::fprintf(stderr, "kelvra-bench: %s\n", server.Error().c_str());
            return kExitFailed;
        }
        config.Port = config.Web ? server.WebPort() : config.Tls ? server.TlsPort() : server.Port();
        serverPid = server.Pid();
    }

    kelvra::TLoadGenerator load(config, room);
    kelvra::TBenchResult result = load.Run(serverPid);
    if (config.Spawn) {
        // Stopping the server first spares it ending N users one by one.
        result.ServerExitCode = server.Stop(30);
        if (*result.ServerExitCode != 0 && result.Error.empty())
            result.Error =
                "kelvra-serverd exited with code " + std::to_string(*result.ServerExitCode);
    }
    load.CloseAll();

    const std::string report =
        config.Json ? kelvra::FormatJson(config, result) : kelvra::FormatTable(config, result);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    if (!result.Error.empty())
        std::fprintf(stderr, "kelvra-bench: %s\n", result.Error.c_str());
    if (result.TimedOut)
        return kExitTimedOut;
    return result.Completed && result.Error.empty() ? 0 : kExitFailed;
}

} // namespace

int main(int argc, char** argv) {
    kelvra::TBenchConfig config;
    config.Progress = isatty(STDERR_FILENO) != 0;
    CLI::App cli{
        "Load generator for the Kelvra Chat Server: N clients log in and join one chat, "
        "S of them send M messages each; reports login rate, throughput, latency and "
        "the server's memory and CPU per unit of work.\n"
        "Exit codes: 0 complete, 1 failed, 2 wrong usage, 3 timed out (what was reached is "
        "reported)."};
    cli.set_version_flag("--version", "kelvra-bench " KELVRA_VERSION);
    cli.add_option("--host", config.Host, "Server address")->capture_default_str();
    auto* port = cli.add_option("--port", config.Port, "Server port")->check(CLI::Range(1, 65535));
    cli.add_option("-n,--clients", config.Clients, "Client connections (N)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    cli.add_option("-s,--senders", config.Senders, "Clients that send (S), at most N")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    cli.add_option("-m,--messages", config.Messages, "Messages per sender (M)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000000));
    cli.add_option("-w,--window", config.Window,
                   "Unanswered messages per sender at most (its own echo is the answer)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    cli.add_option("--text-size", config.TextSize,
                   "Bytes of chat text per message, send time stamp included")
        ->capture_default_str()
        ->check(CLI::Range(kelvra::kStampSize, 65536));
    cli.add_option("--connect-window", config.ConnectWindow,
                   "Logins in progress at most (connected but not yet answered)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    cli.add_option("--room", config.Room, "Chat name (default: bench<pid>)");
    cli.add_option("--password", config.Password, "Server password sent with KMS_USER");
    cli.add_option("--timeout", config.TimeoutSeconds, "Seconds for the whole run")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    auto* pid =
        cli.add_option("--server-pid", config.ServerPid,
                       "Server process to measure (memory per connection, CPU per delivery)")
            ->check(CLI::PositiveNumber);
    auto* spawn = cli.add_flag("--spawn", config.Spawn,
                               "Start kelvra-serverd from beside this program on a free port with "
                               "private settings, measure it, stop it at the end");
    spawn->excludes(port)->excludes(pid);
    auto* tls = cli.add_flag(
        "--tls", config.Tls,
        "Speak TLS to the port (the certificate is not checked); with --spawn the server "
        "gets a TLS port with a throwaway certificate and the clients use it");
    auto* web = cli.add_flag(
        "--web", config.Web,
        "WebSocket users on the web port (--port is the web port): each client upgrades /ws "
        "and sends its records in masked binary frames; with --tls over wss; with --spawn the "
        "server gets a web port");
    cli.add_flag("--codec-only", config.CodecOnly,
                 "Decode every record with the wire codec instead of in place (slower; for "
                 "measuring the bench's own cost)");
    kelvra::THostileConfig hostile;
    cli.add_option("--hostile", hostile.Mode,
                   "Instead of the load: one attack beside a canary client that asks for the "
                   "server nickname every few ms; reports the canary's round trips and the "
                   "server's memory and CPU. nested: record starts inside each other's texts; "
                   "pinned: many connections each hold most of a 1 MB record; flood: one "
                   "connection sends requests as fast as it can; unread: connections that never "
                   "log in ask for answers they never read; burst: thousands of connections at "
                   "once, half never logging in nor reading; chat: one sender at full speed "
                   "into a chat of 50 readers; bigtext: a 900 KB text to 100 readers each second; "
                   "stacked: one user joins one chat again and again, then closes; chats: one "
                   "user creates many chats, then closes")
        ->check(CLI::IsMember({"nested", "pinned", "flood", "unread", "burst", "chat", "bigtext",
                               "stacked", "chats"}))
        ->excludes(tls)
        ->excludes(web);
    cli.add_option("--hostile-seconds", hostile.Seconds,
                   "How long the attack is watched (default 45 for pinned, 60 for burst, 20 "
                   "for unread, else 10)")
        ->check(CLI::PositiveNumber);
    cli.add_option("--hostile-connections", hostile.Connections,
                   "Attacking connections for pinned, unread and burst; reading bystanders "
                   "for stacked and chats")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    cli.add_option("--hostile-joins", hostile.Joins,
                   "Joins (stacked) or creations (chats) sent before the close")
        ->capture_default_str()
        ->check(CLI::Range(1, 10'000'000));
    cli.add_flag("--json", config.Json, "Print the result as JSON");
    cli.add_flag("--progress,!--no-progress", config.Progress,
                 "Show a progress line on stderr (default: when stderr is a terminal)");
    try {
        cli.parse(argc, argv);
        if (!config.Spawn && port->count() == 0)
            throw CLI::RequiredError("--port (or --spawn)");
        if (config.Senders > config.Clients)
            throw CLI::ValidationError("--senders", "must not exceed --clients");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) // --help, --version
            return cli.exit(e);
        std::fprintf(stderr, "kelvra-bench: %s (see --help)\n", e.what());
        return kExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (!hostile.Mode.empty())
        return RunAttack(config, hostile);
    return Run(config);
}
