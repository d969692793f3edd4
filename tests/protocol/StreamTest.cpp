// What arrives on the wire in pieces, merged, broken or never read.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

TEST(StreamTest, RecordSplitAcrossReadsIsReassembled) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    const QByteArray login = EncodePacket(Rec(KMS_LOGIN, "slowpoke", "5"));
    // One byte at a time, each flushed and given time to arrive on its own.
    for (char byte : login) {
        c.SendRaw(QByteArray(1, byte));
        c.Settle(2);
    }
    ASSERT_TRUE(c.WaitFor(4));
    EXPECT_EQ(c.Received()[0], Rec(KMC_OKAY));
    ASSERT_EQ(server.View().Incoming.size(), 1u);
    EXPECT_EQ(server.View().Incoming[0].Param1, "slowpoke");
}

TEST(StreamTest, MergedRecordsAreHandledInOrderWithTheirSocket) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    TDataPacket spoofed = Rec(KMS_SERVERNICK);
    spoofed.From = 12345;
    spoofed.Version = 99;
    c.SendRaw(EncodePacket(Rec(KMS_LOGIN, "m", "1")) + EncodePacket(spoofed) +
              EncodePacket(Rec(KMS_PING)));
    ASSERT_TRUE(c.WaitFor(5));
    c.Settle();
    const auto& in = server.View().Incoming;
    ASSERT_EQ(in.size(), 3u);
    const int32_t socket = static_cast<int32_t>(server.Core().Registry().Users().front()->Socket);
    for (const TDataPacket& p : in)
        EXPECT_EQ(p.From, socket);
    EXPECT_EQ(in[0].Code, KMS_LOGIN);
    EXPECT_EQ(in[1].Code, KMS_SERVERNICK);
    EXPECT_EQ(in[2].Code, KMS_PING);
}

TEST(StreamTest, GarbageIsSkippedUpToTheNextRecord) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    QByteArray bad = EncodePacket(Rec(KMS_SERVERNICK));
    bad.replace(3, 8, "XXXX8002"); // another header: not a record
    QByteArray truncatedHeader = EncodePacket(Rec(KMS_SERVERNICK)).left(10);
    QByteArray badTag = EncodePacket(Rec(KMS_SERVERNICK));
    badTag[11] = 0x07; // no such integer tag
    c.SendRaw(QByteArray("\x00\xff garbage \x01\x01", 13) + bad + truncatedHeader + badTag +
              EncodePacket(Rec(KMS_SERVERNICK)) + "trailing junk");
    c.SendRaw(EncodePacket(Rec(KMS_SERVERNICK)));
    ASSERT_TRUE(c.WaitFor(2));
    c.Settle();
    EXPECT_EQ(c.Received().size(), 2u);
    EXPECT_EQ(server.View().Incoming.size(), 2u);
}

TEST(StreamTest, LongMagicFormAndWideIntegersAreAccepted) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    QByteArray raw("\x01\x0C\x08\x00\x00\x00KLVR8002\x02\x00\x04\x0B\x00\x00\x00\x02\x00\x06\x00"
                   "\x06\x00\x08\x00",
                   29);
    c.SendRaw(raw);
    ASSERT_TRUE(c.WaitFor(1));
    EXPECT_EQ(c.Received()[0], Rec(KMC_SERVERNICK, "Admin"));
}

TEST(StreamTest, OversizedRecordIsSkippedAndTheNextOneServed) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    QByteArray big = EncodePacket(Rec(KMS_SERVERNICK, QByteArray(kMaxRecordSize + 10, 'x')));
    c.SendRaw(big + EncodePacket(Rec(KMS_SERVERNICK)));
    ASSERT_TRUE(c.WaitFor(1, 5000));
    c.Settle();
    EXPECT_EQ(c.Received().size(), 1u);
    // A declared length beyond the bound is refused before its bytes arrive.
    QByteArray header = EncodePacket(Rec(KMS_SERVERNICK)).left(17);
    header += QByteArray("\x0C\xff\xff\xff\x7f", 5);
    c.SendRaw(header + EncodePacket(Rec(KMS_SERVERNICK)));
    ASSERT_TRUE(c.WaitFor(2));
}

TEST(StreamTest, LargeValidRecordSurvives) {
    TTestServer server;
    TTestClient a, b;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(a.LoginAs("a", 2));
    ASSERT_TRUE(b.LoginAs("b", 2));
    const QByteArray text(600 * 1024, 'q');
    a.Send(KMS_MESSAGE, "b", text, false);
    ASSERT_TRUE(b.WaitFor(1, 5000));
    EXPECT_EQ(b.Received()[0].Param2, text);
}

TEST(StreamTest, ClientThatNeverReadsIsDroppedAndOthersCarryOn) {
    TTestServer server;
    TTestClient talker, sink, listener;
    for (auto* c : {&talker, &sink, &listener})
        ASSERT_TRUE(c->Connect(server.Port()));
    ASSERT_TRUE(talker.LoginAs("talker", 3));
    ASSERT_TRUE(sink.LoginAs("sink", 3));
    ASSERT_TRUE(listener.LoginAs("listener", 3));
    talker.Send(KMS_CREATE, "Flood", {}, false);
    ASSERT_TRUE(talker.WaitFor(3));
    sink.Send(KMS_JOIN, "Flood", {}, false);
    ASSERT_TRUE(sink.WaitFor(3));
    talker.Settle();
    for (auto* c : {&talker, &sink, &listener})
        c->Take();
    sink.StopReading();
    const QByteArray text(60 * 1024, 'f');
    // Far more than the kernel buffers plus the 4 MiB queue bound.
    bool dropped = false;
    for (int i = 0; i < 600 && !dropped; ++i) {
        talker.Send(KMS_CHATDATA, "Flood", text, false);
        talker.Take();
        talker.Settle(1);
        dropped = server.Core().Registry().FindUserByNickname("sink") == nullptr;
    }
    ASSERT_TRUE(dropped);
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_EQ(listener.Received().back(), Rec(KMC_DELUSER, "sink"));
    // The server still serves everybody else.
    listener.Send(KMS_SERVERNICK);
    ASSERT_TRUE(listener.WaitFor(2));
}

TEST(StreamTest, ByteSoupNeverStopsTheServer) {
    TTestServer server;
    TTestClient fuzz, good;
    ASSERT_TRUE(fuzz.Connect(server.Port()));
    ASSERT_TRUE(good.Connect(server.Port()));
    uint32_t seed = 12345;
    QByteArray soup;
    const QByteArray start = EncodePacket(Rec(KMS_LOGIN, "x", "1")).left(11);
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        if (seed % 997 == 0)
            soup += start;
        soup += static_cast<char>(seed >> 24);
    }
    fuzz.SendRaw(soup);
    fuzz.Settle(100);
    good.Send(KMS_SERVERNICK);
    ASSERT_TRUE(good.WaitFor(1));
    EXPECT_EQ(good.Received()[0], Rec(KMC_SERVERNICK, "Admin"));
}

} // namespace
