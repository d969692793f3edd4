#pragma once
// The load itself: N client connections on one epoll loop. No Qt event loop:
// the bench shares the machine with the server and must cost it as little as
// possible. Records are taken apart in one large read buffer in place.
#include "BenchConfig.h"
#include "LatencyHistogram.h"
#include "RecordScanner.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvra {

struct TBenchResult {
    bool Completed = false;
    bool TimedOut = false;
    std::string Error;
    std::string Phase; // where the run stopped: "login", "settle", "messaging", "done"

    int Connected = 0;
    int Joined = 0;
    double LoginSeconds = 0;
    double LoginsPerSecond = 0;

    uint64_t Deliveries = 0;
    uint64_t ExpectedDeliveries = 0;
    double MessagingSeconds = 0;
    double DeliveriesPerSecond = 0;
    double P50Ms = 0;
    double P99Ms = 0;
    double MaxMs = 0;

    std::optional<uint64_t> ServerRssBeforeKiB;
    std::optional<uint64_t> ServerRssIdleKiB;
    std::optional<double> ServerRssPerConnectionKiB;
    std::optional<double> ServerCpuLoginMs;
    std::optional<double> ServerCpuUsPerDelivery;
    // While messaging: the server's system calls (where perf events are
    // allowed) and page faults, per delivery.
    std::optional<double> ServerSyscallsPerDelivery;
    std::optional<double> ServerFaultsPerDelivery;

    double BenchCpuSeconds = 0;
    double BenchCpuUsPerDelivery = 0; // the bench's own cost while messaging
    uint64_t RecordsReceived = 0;
    uint64_t SlowRecords = 0;
    std::optional<int> ServerExitCode;
};

class TLoadGenerator {
public:
    TLoadGenerator(const TBenchConfig& config, const std::string& room);
    ~TLoadGenerator();
    TLoadGenerator(const TLoadGenerator&) = delete;
    TLoadGenerator& operator=(const TLoadGenerator&) = delete;

    // Every phase, bounded by the configured timeout. serverPid 0: no server figures.
    TBenchResult Run(int serverPid);
    // Closes every client connection.
    void CloseAll();

private:
    struct TClient;
    enum class Phase { Login, Settle, Messaging, Done };

    bool Connect(TClient& client);
    void OnEvent(TClient& client, uint32_t events);
    void OnConnected(TClient& client);
    // Logs in, or on the web port asks for the WebSocket first.
    void Begin(TClient& client);
    void SendLogin(TClient& client);
    // WebSocket: the answer to the upgrade, then the payloads of the frames
    // moved to the front of data; returns their length.
    size_t Unframe(TClient& client, char* data, size_t size);
    uint32_t NextMask();
    // Where records for the server go: straight out, or to the next frame.
    std::string& OutgoingRecords(TClient& client);
    // TLS: the handshake goes on; false while it is not done.
    bool ContinueHandshake(TClient& client);
    // recv and send, or their TLS counterparts, with the same results.
    ssize_t Receive(TClient& client, char* data, size_t size);
    ssize_t Transmit(TClient& client, const char* data, size_t size);
    void OnReadable(TClient& client);
    size_t Parse(TClient& client, char* data, size_t size);
    void OnRecord(TClient& client, const TRecordView& record);
    void OnDelivery(TClient& client, const TRecordView& record);
    void Queue(TClient& client, const std::string& bytes);
    void QueueMessages(TClient& client);
    void Flush(TClient& client);
    void WatchWritable(TClient& client, bool on);
    void Fail(const std::string& error);
    void StartConnects();
    void PrintProgress(bool final);

    const TBenchConfig& Config;
    std::string Room;
    std::vector<TClient> Clients;
    int Epoll = -1;
    SSL_CTX* TlsContext = nullptr;
    std::vector<char> Buffer;
    TRecordScanner Scanner;
    TLatencyHistogram Latency;
    Phase Current = Phase::Login;
    std::string Error;

    // Encoded once; messages are copies of the template with the stamp patched in.
    std::string MessageTemplate;
    size_t MessageTextAt = 0;
    std::string PingBytes;
    std::string JoinBytes;

    uint32_t MaskState = 0x9E3779B9u;
    int Upgraded = 0; // WebSocket upgrades answered
    int NextToConnect = 0;
    int Unanswered = 0; // connects started whose login has not been answered yet
    int Connected = 0;
    int Joined = 0;
    uint64_t Notices = 0;
    uint64_t Deliveries = 0;
    uint64_t Records = 0;
    uint64_t NowNs = 0;
    uint64_t LastRecordNs = 0;
    uint64_t LastDeliveryNs = 0;
    uint64_t LastProgressNs = 0;
    bool ProgressShown = false;
};

} // namespace kelvra
