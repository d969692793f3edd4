#pragma once
// Attacks made of crowds of connections, on one epoll loop of the attacker's
// thread:
//   unread   connections that never log in and ask for answers they never
//            read (2 MB of requests each), then stay
//   burst    thousands of connections at once: half log in and read, half
//            never log in and never read; all close at once at the end
//   chat     one sender at full speed into a chat of 50 members who read
//   bigtext  a 900 KB text to a chat of 100 members who read, once a second
#include "HostileLoad.h"

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra {

struct TCrowdFigures {
    std::atomic<bool> Stop{false};
    std::atomic<uint64_t> BytesSent{0};
    std::atomic<int> Opened{0};
    std::atomic<int> Failed{0};         // could not connect
    std::atomic<int> Dropped{0};        // closed by the server
    std::atomic<int> MembersDropped{0}; // chat members among them
    std::atomic<int> Texts{0};          // chat texts sent
    int Members = 0;
};

bool IsCrowdAttack(const std::string& mode);

class TCrowd {
public:
    TCrowd(const THostileConfig& config, TCrowdFigures& figures);
    ~TCrowd();
    TCrowd(const TCrowd&) = delete;
    TCrowd& operator=(const TCrowd&) = delete;

    // The chat and its members in place before the attack is watched; false
    // when the server did not let them in.
    bool Prepare();
    // The attack itself, until Stop.
    void Run();
    // Closes every connection at once.
    void CloseAll();

private:
    enum class TRole { Member, Silent };
    struct TConn {
        int Fd = -1;
        TRole Role = TRole::Member;
        bool Connecting = false;
        uint32_t Events = 0;
        QByteArray Out;
        qsizetype Sent = 0;
    };

    void Add(int fd, TRole role, QByteArray out, bool connecting);
    // Serves what the sockets say within timeoutMs; returns bytes read.
    uint64_t Step(int timeoutMs);
    void Serve(TConn& c, uint32_t events, uint64_t& read);
    void Watch(TConn& c);
    void Drop(TConn& c);
    bool OpenChat();
    // The chat sender's loop.
    void Send();
    void DrainUntilQuiet();

    const THostileConfig& Config;
    TCrowdFigures& F;
    int Ep = -1;
    std::vector<TConn> Conns;
    int SenderFd = -1;
    QByteArray Room = "hostile";
};

} // namespace kelvra
