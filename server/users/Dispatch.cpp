// Dispatch: the single entry through which every decoded client record
// reaches the handler for its code.
#include "PacketCodes.h"
#include "Server.h"
#include "TextUtil.h"

#include <QTimer>

namespace kelvra {

TServer::TServer(ITransport& transport, IServerView& view)
    : Transport(transport), ViewRef(view), LeaveTimer(std::make_unique<QTimer>()) {
    LeaveTimer->setSingleShot(true);
    QObject::connect(LeaveTimer.get(), &QTimer::timeout, [this] { ContinueLeaving(); });
    Users.SetGroups(&Transport);
    MailSaver.Report = [this](const QString& error) {
        ViewRef.ReportClientFailure(QStringLiteral("Saving failed: %1").arg(error));
    };
}

TServer::~TServer() = default;

void TServer::ConnectionAccepted(SocketHandle socket, uint32_t ipv4, uint16_t port) {
    TConnection* user = Users.NewUser(socket);
    user->IPv4 = ipv4;
    user->Port = port;
    ViewRef.Connected(*user);
}

bool TServer::HasUser(SocketHandle socket) const {
    return Users.FindUserBySocket(socket) != nullptr;
}

bool TServer::IsLoggedOn(SocketHandle socket) const {
    const TConnection* user = Users.FindUserBySocket(socket);
    return user && user->LoggedIn;
}

void TServer::DispatchLogin(const TDataPacket& packet) {
    const std::optional<int32_t> icon = StrToInt(packet.Param2);
    if (!icon) {
        // A client cannot open boxes on the operator's screen: the failure goes
        // to the error log and only this record is dropped.
        ViewRef.ReportClientFailure(QStringLiteral("'%1' is not a valid integer value")
                                        .arg(FromBytes(EscapeControls(packet.Param2))));
        return;
    }
    Login(static_cast<SocketHandle>(packet.From), packet.Param1, *icon);
}

void TServer::Dispatch(const TDataPacket& packet) {
    const PacketCodeInfo* info = FindPacketCode(packet.Code);
    if (!info || packet.Code > KMS_SERVERNICK)
        return; // unknown codes and server-to-client codes are dropped
    const auto socket = static_cast<SocketHandle>(packet.From);
    TConnection* sender = nullptr;
    if (info->NeedsLoggedIn) {
        sender = Users.FindUserBySocket(socket);
        if (!sender || !sender->LoggedIn)
            return;
    }
    switch (packet.Code) {
    case KMS_LOGIN:
        DispatchLogin(packet);
        break;
    case KMS_QUIT:
        QuitUser(socket);
        break;
    case KMS_GETPOST:
        DeliverMail(socket);
        break;
    case KMS_USER:
        UserInfo(packet.Param1, packet.Param2, socket);
        break;
    case KMS_QUITCHAT:
        QuitChat(Users.FindChatByName(packet.Param1), Users.FindUserBySocket(socket));
        break;
    case KMS_PING:
        PingAnswer(socket);
        break;
    case KMS_JOIN:
        JoinChat(sender, Users.FindChatByName(packet.Param1), packet.Switch);
        break;
    case KMS_CREATE:
        CreateChat(sender, packet.Param1, packet.Switch);
        break;
    case KMS_CHATDATA:
        ChatData(sender, packet.Param1, packet.Switch, packet.Param2);
        break;
    case KMS_MESSAGE:
        PrivateMessage(sender, packet.Param1, packet.Switch, packet.Param2);
        break;
    case KMS_INVITE:
        Invite(sender, packet.Param1, packet.Param2);
        break;
    case KMS_SERVERNICK:
        ServerNickRequest(socket);
        break;
    default:
        break;
    }
    // The Chats view's member counts are kept up to date by the handlers
    // themselves (ChatMembersChanged), chat by chat.
}

void TServer::SendToAll(const TDataPacket& packet, const TConnection* except) {
    if (Gathered.Scopes > 0) {
        if (!Gathered.Records.empty() && Gathered.Except != except)
            QueueGatheredNow();
        Gathered.Except = except;
        Gathered.Records.emplace_back(packet);
        return;
    }
    SendToGroup(TRegistry::kEverybody, TPreparedPacket(packet), except);
}

void TServer::SendToGroup(uint64_t group, const TPreparedPacket& packet, const TConnection* except,
                          bool mayWait) {
    QueueGathered();
    const SocketHandle skip = except && !except->Leaving ? except->Socket : ITransport::kNoSocket;
    const qsizetype sent = Transport.SendToGroup(group, packet, skip, mayWait);
    if (sent >= 0) {
        SentRecords += static_cast<uint64_t>(sent);
        return;
    }
    if (group == TRegistry::kEverybody) {
        for (const auto& user : Users.Users())
            if (user.get() != except)
                Send(user.get(), packet);
    } else if (const TChat* chat = Users.FindChat(group)) {
        for (TConnection* q : chat->MembersByOrder)
            if (q != except)
                Send(q, packet);
    }
}

void TServer::QueueGatheredNow() {
    std::vector<TPreparedPacket> records;
    records.swap(Gathered.Records);
    // Everybody's group takes them in a row: each connection gets them as
    // one piece with whatever else the pass sends to everybody.
    for (const TPreparedPacket& record : records)
        SendToGroup(TRegistry::kEverybody, record, Gathered.Except, true);
}

void TServer::SendShutdownNotice() {
    SendToAll(MakePacket(KMC_STATUS, "Server is shuting down..."));
}

} // namespace kelvra
