// The wire encoding: documented byte examples as table rows, and the decoder's
// treatment of forms, bounds and broken input.
#include "WireCodec.h"
#include "PacketCodes.h"

#include <gtest/gtest.h>

using namespace kelvra;

namespace {

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

// A record whose Code is written with the given integer bytes.
QByteArray RecordWithCode(const QByteArray& code) {
    return Hex("0106084b4c565238303032 0200") + code + Hex("0200 0600 0600 08 00");
}

TEST(WireCodecTest, IntegerForms) {
    const struct {
        int32_t Value;
        const char* Bytes;
    } rows[] = {{127, "027f"},
                {128, "038000"},
                {-128, "0280"},
                {-129, "037fff"},
                {32767, "03ff7f"},
                {32768, "0400800000"},
                {-1, "02ff"},
                {0, "0200"},
                {-32768, "030080"},
                {-32769, "04ff7fffff"},
                {INT32_MIN, "0400000080"},
                {INT32_MAX, "04ffffff7f"}};
    for (const auto& row : rows) {
        QByteArray out;
        AppendInteger(out, row.Value);
        EXPECT_EQ(out, Hex(row.Bytes)) << row.Value;
        const QByteArray record = RecordWithCode(out);
        TDataPacket back;
        const DecodeResult r = DecodeRecord(record.constData(), record.size(), back);
        ASSERT_EQ(r.Status, DecodeStatus::Record) << row.Value;
        EXPECT_EQ(r.Consumed, record.size());
        EXPECT_EQ(back.Code, row.Value);
    }
}

TEST(WireCodecTest, TextForms) {
    QByteArray out;
    AppendText(out, QByteArray(255, 'a'));
    EXPECT_EQ(out.left(2), Hex("06ff"));
    EXPECT_EQ(out.size(), 257);
    out.clear();
    AppendText(out, QByteArray(256, 'a'));
    EXPECT_EQ(out.left(5), Hex("0c00010000"));
    EXPECT_EQ(out.size(), 261);
    out.clear();
    AppendText(out, {});
    EXPECT_EQ(out, Hex("0600"));
    // Either form is read for any length.
    const QByteArray record = Hex("0106084b4c565238303032 0200 0200 0200") + Hex("0c03000000") +
                              "abc" + Hex("0600 08 00");
    TDataPacket back;
    ASSERT_EQ(DecodeRecord(record.constData(), record.size(), back).Status, DecodeStatus::Record);
    EXPECT_EQ(back.Param1, "abc");
}

TEST(WireCodecTest, DocumentedRecords) {
    EXPECT_EQ(EncodePacket(MakePacket(KMC_PING)),
              Hex("0106084b4c5652383030320200027402000600060008 00"));
    TDataPacket login = MakePacket(KMS_LOGIN, "bob", "3");
    const QByteArray bytes = EncodePacket(login);
    EXPECT_EQ(bytes, Hex("0106084b4c56523830303202000200020006 03626f62 060133 0800"));
    EXPECT_EQ(bytes.size(), 27);
    EXPECT_EQ(EncodedSize(login), 27);
    TDataPacket back;
    const DecodeResult r = DecodeRecord(bytes.constData(), bytes.size(), back);
    EXPECT_EQ(r.Status, DecodeStatus::Record);
    EXPECT_EQ(r.Consumed, 27);
    EXPECT_EQ(back, login);
}

TEST(WireCodecTest, DecoderAcceptsOtherFormsAndReadsOddBooleansAsFalse) {
    // Code as 04 74 00 00 00, the magic in long form, Switch byte 0x02.
    QByteArray bytes = Hex("010c080000004b4c5652383030320200047400000002000600060002 00");
    TDataPacket p;
    DecodeResult r = DecodeRecord(bytes.constData(), bytes.size(), p);
    ASSERT_EQ(r.Status, DecodeStatus::Record);
    EXPECT_EQ(p.Code, 116);
    EXPECT_FALSE(p.Switch);
    EXPECT_EQ(r.Consumed, bytes.size());
    // A Switch byte of 0x09 is true; a wrong end byte does not undo the record.
    bytes = EncodePacket(MakePacket(KMS_JOIN, "x", {}, true));
    bytes[bytes.size() - 1] = 0x05;
    r = DecodeRecord(bytes.constData(), bytes.size(), p);
    ASSERT_EQ(r.Status, DecodeStatus::Record);
    EXPECT_TRUE(p.Switch);
    EXPECT_EQ(r.Consumed, bytes.size() - 1);
}

TEST(WireCodecTest, EveryPrefixOfARecordWaitsForMore) {
    const QByteArray bytes =
        EncodePacket(MakePacket(KMS_MESSAGE, "bob", QByteArray(300, 'z'), true));
    for (qsizetype n = 1; n < bytes.size(); ++n) {
        TDataPacket p;
        EXPECT_EQ(DecodeRecord(bytes.constData(), n, p).Status, DecodeStatus::NeedMore) << n;
    }
}

TEST(WireCodecTest, OnlyTheExactMagicStartsARecord) {
    QByteArray other = EncodePacket(MakePacket(KMS_PING));
    other.replace(3, 8, "KLVR9002");
    TDataPacket p;
    DecodeResult r = DecodeRecord(other.constData(), other.size(), p);
    EXPECT_EQ(r.Status, DecodeStatus::Garbage);
    EXPECT_EQ(r.Consumed, other.size());
    QByteArray lower = EncodePacket(MakePacket(KMS_PING));
    lower.replace(3, 4, "klvr");
    EXPECT_EQ(DecodeRecord(lower.constData(), lower.size(), p).Status, DecodeStatus::Garbage);
}

TEST(WireCodecTest, StreamDecoderReassemblesAndResynchronises) {
    const QByteArray a = EncodePacket(MakePacket(KMS_LOGIN, "alice", "1"));
    const QByteArray b = EncodePacket(MakePacket(KMS_CHATDATA, "Lobby", "hi", true));
    const QByteArray stream = "junk" + a + QByteArray("\x01\x06\x08KLV", 6) + "zz" + b + b.left(5);
    // Feed in every chunk size; the same records come out.
    for (int chunk = 1; chunk <= 13; ++chunk) {
        TStreamDecoder decoder;
        std::vector<TDataPacket> got;
        for (qsizetype i = 0; i < stream.size(); i += chunk)
            decoder.Decode(stream.constData() + i, std::min<qsizetype>(chunk, stream.size() - i),
                           got);
        ASSERT_EQ(got.size(), 2u) << chunk;
        EXPECT_EQ(got[0].Param1, "alice");
        EXPECT_EQ(got[1].Param2, "hi");
        EXPECT_EQ(decoder.PendingBytes(), 5) << chunk; // the start of the next record waits
        EXPECT_EQ(decoder.SkippedBytes(), 4u + 8u) << chunk;
    }
}

TEST(WireCodecTest, NestedRecordStartsCostTheBytesReceived) {
    // Each unit starts a record whose Param1 declares nearly 1 MB, so every
    // unit lies inside the texts of the ones before it, and each of them
    // fails on the byte after its text.
    QByteArray unit = EncodePacket(MakePacket(KMS_LOGIN)).left(17) + Hex("0c40420f00");
    ASSERT_EQ(unit.size(), 22);
    const QByteArray stream = unit.repeated(4 * 1024 * 1024 / unit.size());
    TStreamDecoder decoder;
    std::vector<TDataPacket> records;
    for (qsizetype i = 0; i < stream.size(); i += 1000)
        decoder.Decode(stream.constData() + i, std::min<qsizetype>(1000, stream.size() - i),
                       records);
    EXPECT_TRUE(records.empty());
    EXPECT_LE(decoder.ExaminedBytes(), 4u * static_cast<quint64>(stream.size()));
    EXPECT_LE(decoder.PendingBytes(), kMaxRecordSize);
    EXPECT_GE(decoder.SkippedBytes(), static_cast<quint64>(stream.size() - kMaxRecordSize));
}

TEST(WireCodecTest, DecodeTakesAtMostTheAskedNumberAndKeepsTheRest) {
    QByteArray bytes;
    for (int i = 0; i < 5; ++i)
        bytes += EncodePacket(MakePacket(KMS_MESSAGE, QByteArray::number(i)));
    bytes += EncodePacket(MakePacket(KMS_PING)).left(9);
    TStreamDecoder decoder;
    std::vector<TDataPacket> got;
    EXPECT_TRUE(decoder.Decode(bytes.constData(), bytes.size(), got, 2));
    EXPECT_TRUE(decoder.Decode(nullptr, 0, got, 2));
    EXPECT_TRUE(decoder.HasBacklog());
    EXPECT_FALSE(decoder.Decode(nullptr, 0, got, 2));
    EXPECT_FALSE(decoder.HasBacklog());
    ASSERT_EQ(got.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(got[static_cast<size_t>(i)].Param1, QByteArray::number(i));
    EXPECT_EQ(decoder.PendingBytes(), 9);
}

TEST(PacketCodesTest, NamesForTheLogs) {
    EXPECT_EQ(PacketName(KMS_PING), "KMS_PING");
    EXPECT_EQ(PacketName(KMC_BADPASS), "KMC_BADPASS");
    EXPECT_EQ(PacketName(KMS_SERVERNICK), "");
    EXPECT_EQ(PacketName(12), "");
    EXPECT_EQ(PacketName(99), "");
    EXPECT_EQ(PacketName(118), "");
    int named = 0;
    for (int code = -5; code < 130; ++code)
        named += !PacketName(code).isEmpty();
    EXPECT_EQ(named, 29);
    EXPECT_EQ(PacketCodeFromName("kms_servernick"), 11);
    EXPECT_EQ(PacketCodeFromName("KMC_CHATDATA"), 113);
    EXPECT_EQ(PacketCodeFromName("NOPE"), -1);
}

} // namespace
