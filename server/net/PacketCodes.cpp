#include "PacketCodes.h"

#include <array>

namespace kelvra {

namespace {

constexpr std::array<PacketCodeInfo, 30> kCodes = {{
    {KMS_LOGIN, "KMS_LOGIN", false},       {KMS_QUIT, "KMS_QUIT", false},
    {KMS_GETPOST, "KMS_GETPOST", false},   {KMS_USER, "KMS_USER", false},
    {KMS_QUITCHAT, "KMS_QUITCHAT", false}, {KMS_PING, "KMS_PING", false},
    {KMS_JOIN, "KMS_JOIN", true},          {KMS_CREATE, "KMS_CREATE", true},
    {KMS_CHATDATA, "KMS_CHATDATA", true},  {KMS_MESSAGE, "KMS_MESSAGE", true},
    {KMS_INVITE, "KMS_INVITE", true},      {KMS_SERVERNICK, nullptr, false},
    {KMC_STATUS, "KMC_STATUS", false},     {KMC_ADDCHAT, "KMC_ADDCHAT", false},
    {KMC_ADDUSER, "KMC_ADDUSER", false},   {KMC_DELCHAT, "KMC_DELCHAT", false},
    {KMC_DELUSER, "KMC_DELUSER", false},   {KMC_SERVERNICK, "KMC_SERVERNICK", false},
    {KMC_BADNICK, "KMC_BADNICK", false},   {KMC_NICKINUSE, "KMC_NICKINUSE", false},
    {KMC_BANNED, "KMC_BANNED", false},     {KMC_OKAY, "KMC_OKAY", false},
    {KMC_KICK, "KMC_KICK", false},         {KMC_MESSAGE, "KMC_MESSAGE", false},
    {KMC_JOINED, "KMC_JOINED", false},     {KMC_CHATDATA, "KMC_CHATDATA", false},
    {KMC_INVITE, "KMC_INVITE", false},     {KMC_BYE, "KMC_BYE", false},
    {KMC_PING, "KMC_PING", false},         {KMC_BADPASS, "KMC_BADPASS", false},
}};

} // namespace

const PacketCodeInfo* FindPacketCode(int32_t code) {
    if (code >= KMS_LOGIN && code <= KMS_SERVERNICK)
        return &kCodes[static_cast<size_t>(code)];
    if (code >= KMC_STATUS && code <= KMC_BADPASS)
        return &kCodes[static_cast<size_t>(code - KMC_STATUS + 12)];
    return nullptr;
}

QByteArray PacketName(int32_t code) {
    const PacketCodeInfo* info = FindPacketCode(code);
    return info && info->Name ? QByteArray(info->Name) : QByteArray();
}

QByteArray PacketDisplayName(int32_t code) {
    if (code == KMS_SERVERNICK)
        return "KMS_SERVERNICK";
    QByteArray name = PacketName(code);
    return name.isEmpty() ? QByteArray::number(code) : name;
}

int32_t PacketCodeFromName(const QByteArray& name) {
    const QByteArray upper = name.toUpper();
    if (upper == "KMS_SERVERNICK")
        return KMS_SERVERNICK;
    for (const PacketCodeInfo& info : kCodes)
        if (info.Name && upper == info.Name)
            return info.Code;
    return -1;
}

} // namespace kelvra
