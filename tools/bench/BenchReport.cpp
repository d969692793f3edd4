#include "BenchReport.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace kelvra {

namespace {

std::string Number(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 32) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <class T> std::string OrNull(const std::optional<T>& v, int decimals) {
    return v ? Number(static_cast<double>(*v), decimals) : "null";
}

template <class T> std::string OrDash(const std::optional<T>& v, int decimals) {
    return v ? Number(static_cast<double>(*v), decimals) : "-";
}

} // namespace

std::string FormatTable(const TBenchConfig& c, const TBenchResult& r) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"clients (N)", std::to_string(c.Clients)},
        {"senders (S)", std::to_string(c.Senders)},
        {"messages per sender (M)", std::to_string(c.Messages)},
        {"window (W)", std::to_string(c.Window)},
        {"text size (bytes)", std::to_string(c.TextSize)},
        {"transport", c.Web ? (c.Tls ? "WebSocket over TLS (wss)" : "WebSocket (ws)")
                            : (c.Tls ? "TLS" : "plain TCP")},
        {"login + join time (s)", Number(r.LoginSeconds, 3)},
        {"logins per second", Number(r.LoginsPerSecond, 0)},
        {"deliveries",
         std::to_string(r.Deliveries) + " of " + std::to_string(r.ExpectedDeliveries)},
        {"throughput (deliveries/s)", Number(r.DeliveriesPerSecond, 0)},
        {"latency p50 (ms)", Number(r.P50Ms, 2)},
        {"latency p99 (ms)", Number(r.P99Ms, 2)},
        {"latency max (ms)", Number(r.MaxMs, 2)},
        {"server RSS per connection (KiB)", OrDash(r.ServerRssPerConnectionKiB, 2)},
        {"server CPU per delivery (us)", OrDash(r.ServerCpuUsPerDelivery, 3)},
        {"server system calls per delivery", OrDash(r.ServerSyscallsPerDelivery, 4)},
        {"server page faults per delivery", OrDash(r.ServerFaultsPerDelivery, 5)},
        {"server CPU for logins (ms)", OrDash(r.ServerCpuLoginMs, 1)},
        {"bench CPU (s)", Number(r.BenchCpuSeconds, 2)},
        {"bench CPU per delivery (us)", Number(r.BenchCpuUsPerDelivery, 3)},
        {"result",
         r.Completed ? std::string("complete") : "incomplete (" + r.Phase + "): " + r.Error},
    };
    size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    std::string out;
    for (const auto& [name, value] : rows)
        out += name + std::string(width - name.size() + 2, ' ') + value + "\n";
    return out;
}

std::string FormatJson(const TBenchConfig& c, const TBenchResult& r) {
    std::string out = "{\n";
    auto field = [&out](const char* name, const std::string& value, bool last = false) {
        out += std::string("  \"") + name + "\": " + value + (last ? "\n" : ",\n");
    };
    field("clients", std::to_string(c.Clients));
    field("senders", std::to_string(c.Senders));
    field("messages", std::to_string(c.Messages));
    field("window", std::to_string(c.Window));
    field("text_size", std::to_string(c.TextSize));
    field("tls", c.Tls ? "true" : "false");
    field("web", c.Web ? "true" : "false");
    field("completed", r.Completed ? "true" : "false");
    field("timed_out", r.TimedOut ? "true" : "false");
    field("phase", JsonString(r.Phase));
    field("error", JsonString(r.Error));
    field("connected", std::to_string(r.Connected));
    field("joined", std::to_string(r.Joined));
    field("login_seconds", Number(r.LoginSeconds, 6));
    field("logins_per_second", Number(r.LoginsPerSecond, 1));
    field("deliveries", std::to_string(r.Deliveries));
    field("expected_deliveries", std::to_string(r.ExpectedDeliveries));
    field("messaging_seconds", Number(r.MessagingSeconds, 6));
    field("deliveries_per_second", Number(r.DeliveriesPerSecond, 1));
    field("latency_p50_ms", Number(r.P50Ms, 3));
    field("latency_p99_ms", Number(r.P99Ms, 3));
    field("latency_max_ms", Number(r.MaxMs, 3));
    field("server_rss_before_kib", OrNull(r.ServerRssBeforeKiB, 0));
    field("server_rss_idle_kib", OrNull(r.ServerRssIdleKiB, 0));
    field("server_rss_per_connection_kib", OrNull(r.ServerRssPerConnectionKiB, 3));
    field("server_cpu_us_per_delivery", OrNull(r.ServerCpuUsPerDelivery, 4));
    field("server_syscalls_per_delivery", OrNull(r.ServerSyscallsPerDelivery, 5));
    field("server_page_faults_per_delivery", OrNull(r.ServerFaultsPerDelivery, 6));
    field("server_cpu_login_ms", OrNull(r.ServerCpuLoginMs, 2));
    field("server_exit_code", OrNull(r.ServerExitCode, 0));
    field("bench_cpu_seconds", Number(r.BenchCpuSeconds, 3));
    field("bench_cpu_us_per_delivery", Number(r.BenchCpuUsPerDelivery, 4));
    field("records_received", std::to_string(r.RecordsReceived));
    field("records_decoded_by_codec", std::to_string(r.SlowRecords), true);
    return out + "}\n";
}

} // namespace kelvra
