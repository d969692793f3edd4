// The links' poller on socket pairs, one pass of the event loop at a time:
// only ready descriptors with interest are reported, level-triggered, hang-ups
// wake readers only, and a number closed and reused within one batch never
// gets the former link's event.
#include "LinkPoller.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace kelvra;

namespace {

struct TPair {
    int Ours = -1, Peer = -1;
    TPair() {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        Ours = ends[0];
        Peer = ends[1];
    }
    ~TPair() {
        if (Ours >= 0)
            ::close(Ours);
        if (Peer >= 0)
            ::close(Peer);
    }
    void Poke() const { ASSERT_EQ(::send(Peer, "x", 1, 0), 1); }
    void Drain() const { Empty(Ours); }
    static void Empty(int fd) {
        char buffer[64];
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }
};

class LinkPollerTest : public ::testing::Test {
protected:
    LinkPollerTest()
        : Poller([this](int fd) { Reads.push_back(fd); },
                 [this](int fd) { Writes.push_back(fd); }) {}
    // One pass of the event loop; what it reported.
    void Pass() {
        Reads.clear();
        Writes.clear();
        QCoreApplication::processEvents();
    }
    std::vector<int> Reads, Writes;
    TLinkPoller Poller;
};

TEST_F(LinkPollerTest, ReportsOnlyReadyDescriptorsWithInterest) {
    // More links than one epoll batch holds.
    std::vector<TPair> pairs(3 * TLinkPoller::kBatch / 2);
    for (const TPair& p : pairs)
        ASSERT_TRUE(Poller.Watch(p.Ours, true, false));
    Pass();
    EXPECT_TRUE(Reads.empty());
    EXPECT_TRUE(Writes.empty());

    const TPair& busy = pairs[137];
    busy.Poke();
    for (int pass = 0; pass < 2; ++pass) { // reported again while unread
        Pass();
        EXPECT_EQ(Reads, std::vector<int>{busy.Ours});
    }
    Poller.SetRead(busy.Ours, false);
    Pass();
    EXPECT_TRUE(Reads.empty());
    Poller.SetRead(busy.Ours, true);
    Pass();
    EXPECT_EQ(Reads, std::vector<int>{busy.Ours});
    busy.Drain();

    // A hang-up wakes the reader, and only while reading is on: a link whose
    // reading is off is not reported pass after pass.
    TPair& closed = pairs[5];
    Poller.SetRead(closed.Ours, false);
    ::close(closed.Peer);
    closed.Peer = -1;
    Pass();
    EXPECT_TRUE(Reads.empty());
    EXPECT_TRUE(Writes.empty());
    EXPECT_EQ(Poller.Poll(), 0);
    Poller.SetRead(closed.Ours, true);
    Pass();
    EXPECT_EQ(Reads, std::vector<int>{closed.Ours});
    Poller.Forget(closed.Ours);
    Pass();
    EXPECT_TRUE(Reads.empty());

    Poller.SetWrite(pairs[7].Ours, true);
    Pass();
    EXPECT_EQ(Writes, std::vector<int>{pairs[7].Ours});
    EXPECT_TRUE(Reads.empty());
    Poller.SetWrite(pairs[7].Ours, false);
    Pass();
    EXPECT_TRUE(Writes.empty());
}

TEST(LinkPollerReuse, NumberClosedAndReusedInOneBatchGetsNoStaleEvent) {
    TPair first, second;
    std::map<int, int> linkOn; // descriptor -> the link it belongs to now
    linkOn[first.Ours] = 1;
    linkOn[second.Ours] = 2;
    std::vector<int> served; // links, in order
    std::unique_ptr<TPair> fresh;
    TLinkPoller* poller = nullptr;
    TLinkPoller p(
        [&](int fd) {
            served.push_back(linkOn[fd]);
            TPair::Empty(fd);
            if (fresh)
                return;
            // The other link of the batch ends, and a new one gets its number
            // and has data at once.
            TPair& gone = fd == first.Ours ? second : first;
            poller->Forget(gone.Ours);
            fresh = std::make_unique<TPair>();
            ASSERT_EQ(::dup2(fresh->Ours, gone.Ours), gone.Ours);
            ::close(fresh->Ours);
            fresh->Ours = gone.Ours;
            gone.Ours = -1;
            linkOn[fresh->Ours] = 3;
            ASSERT_TRUE(poller->Watch(fresh->Ours, true, false));
            fresh->Poke();
        },
        [](int) {});
    poller = &p;
    ASSERT_TRUE(p.Watch(first.Ours, true, false));
    ASSERT_TRUE(p.Watch(second.Ours, true, false));
    first.Poke();
    second.Poke();
    QCoreApplication::processEvents();
    ASSERT_EQ(served.size(), 1u);
    served.clear();
    QCoreApplication::processEvents();
    EXPECT_EQ(served, std::vector<int>{3}); // the new link, once its own event comes
}

} // namespace
