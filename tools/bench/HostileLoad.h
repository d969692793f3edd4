#pragma once
// Attacks on the socket layer, each beside a healthy canary client whose
// round trips are measured while the attack runs:
//   nested  one connection streams record starts whose texts declare nearly
//           1 MB, each inside the texts of the ones before it
//   pinned  many connections each send most of a 1 MB record and go silent
//   flood   one connection sends small requests as fast as the server reads
//   stacked one user joins one chat over and over (reading the answers),
//           then closes: the close takes every entry out at once
//   chats   one user creates many chats, then closes: each is deleted and
//           announced to everybody at the close
// (the last two run beside `Connections` logged-in users that only read)
// and the crowds of HostileCrowd.h (unread, burst, chat, bigtext).
#include <string>

namespace kelvra {

struct THostileConfig {
    std::string Mode;
    std::string Host = "127.0.0.1";
    int Port = 0;
    int ServerPid = 0; // 0: no server figures
    int Connections =
        1000;            // pinned, unread, burst: attacking connections; stacked, chats: bystanders
    int Joins = 400'000; // stacked, chats: joins or creations sent before the close
    double Seconds = 0;  // how long the attack is watched; 0: per mode
    int CanaryEveryMs = 5; // pause between the canary's requests
};

// Runs one attack and prints the canary's round trips and the server's
// memory and CPU. Returns 0 when the canary was served throughout.
int RunHostile(const THostileConfig& config);

} // namespace kelvra
