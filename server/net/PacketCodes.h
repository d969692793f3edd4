#pragma once
// One table of message codes: names for the traffic logs, and whether the
// dispatcher requires the sender to be logged in.
#include <QByteArray>
#include <cstdint>

namespace kelvra {

enum PacketCode : int32_t {
    KMS_LOGIN = 0,
    KMS_QUIT = 1,
    KMS_GETPOST = 2,
    KMS_USER = 3,
    KMS_QUITCHAT = 4,
    KMS_PING = 5,
    KMS_JOIN = 6,
    KMS_CREATE = 7,
    KMS_CHATDATA = 8,
    KMS_MESSAGE = 9,
    KMS_INVITE = 10,
    KMS_SERVERNICK = 11,

    KMC_STATUS = 100,
    KMC_ADDCHAT = 101,
    KMC_ADDUSER = 102,
    KMC_DELCHAT = 103,
    KMC_DELUSER = 104,
    KMC_SERVERNICK = 105,
    KMC_BADNICK = 106,
    KMC_NICKINUSE = 107,
    KMC_BANNED = 108,
    KMC_OKAY = 109,
    KMC_KICK = 110,
    KMC_MESSAGE = 111,
    KMC_JOINED = 112,
    KMC_CHATDATA = 113,
    KMC_INVITE = 114,
    KMC_BYE = 115,
    KMC_PING = 116,
    KMC_BADPASS = 117,
};

struct PacketCodeInfo {
    int32_t Code;
    const char* Name;   // nullptr: no name in the traffic logs
    bool NeedsLoggedIn; // client codes only
};

// Entry for a code, or nullptr for a code outside the table.
const PacketCodeInfo* FindPacketCode(int32_t code);

// The name shown in the "Msg" column; empty for code 11 and unknown codes.
QByteArray PacketName(int32_t code);

// Name for any code, for tools and debugging: the log name, "KMS_SERVERNICK"
// for 11, otherwise the decimal code.
QByteArray PacketDisplayName(int32_t code);

// Code for a name such as "KMS_LOGIN" (case-insensitive), or -1.
int32_t PacketCodeFromName(const QByteArray& name);

} // namespace kelvra
