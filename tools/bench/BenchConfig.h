#pragma once
// What one bench run does, as given on the command line.
#include <string>

namespace kelvra {

struct TBenchConfig {
    std::string Host = "127.0.0.1";
    int Port = 0;
    int Clients = 100;
    int Senders = 10;
    int Messages = 200;
    int Window = 16;
    int TextSize = 48;
    std::string Room;     // empty: a name of this process, so runs never share a chat
    std::string Password; // the server password for KMS_USER
    double TimeoutSeconds = 60;
    int ServerPid = 0; // 0: no server figures
    bool Spawn = false;
    bool Json = false;
    bool Progress = false;
    bool CodecOnly = false; // decode every record with DecodeRecord
    bool Tls = false;       // speak TLS to the port (no certificate check)
    bool Web = false;       // WebSocket users on the web port (wss with Tls)
    // Connects not yet answered at one time; more would overrun the listen backlog.
    int ConnectWindow = 256;
};

} // namespace kelvra
