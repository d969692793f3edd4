#include "ControlOps.h"

#include "ControlProtocol.h"
#include "ServerRuntime.h"
#include "TextUtil.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <unistd.h>

namespace kelvra {

using TOutcome = TControlOps::TOutcome;

namespace {

constexpr int kSampleEveryMs = 1000;
constexpr size_t kSamplesKept = 11; // ten seconds of rate

TOutcome Ok(const QJsonValue& result) {
    return TOutcome{result, nullptr, QString()};
}

TOutcome Fail(const char* code, const QString& text) {
    return TOutcome{QJsonValue(), code, text};
}

TOutcome BadRequest(const QString& text) {
    return Fail(ControlError::BadRequest, text);
}

// A record id: a whole number from 1.
std::optional<uint64_t> IdValue(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (d < 1 || d > 9007199254740992.0 || std::floor(d) != d)
        return std::nullopt;
    return static_cast<uint64_t>(d);
}

bool IdArg(const QJsonObject& args, const char* key, uint64_t* id, TOutcome* failure) {
    const std::optional<uint64_t> value = IdValue(args.value(QLatin1String(key)));
    if (!value) {
        *failure = BadRequest(QStringLiteral("\"%1\" must be a record id (a whole number from 1)")
                                  .arg(QLatin1String(key)));
        return false;
    }
    *id = *value;
    return true;
}

// The record the "id" argument names (`find` looks it up); null with the
// answer in *failure when the argument is bad or names none.
template <class Find>
auto RecordArg(const QJsonObject& args, const char* what, Find find, TOutcome* failure)
    -> decltype(find(uint64_t{})) {
    uint64_t id = 0;
    if (!IdArg(args, "id", &id, failure))
        return nullptr;
    const auto record = find(id);
    if (!record)
        *failure = Fail(ControlError::NotFound,
                        QStringLiteral("no %1 with id %2").arg(QLatin1String(what)).arg(id));
    return record;
}

// A text argument as wire bytes; a missing optional one leaves *out alone.
bool TextArg(const QJsonObject& args, const char* key, bool required, QByteArray* out,
             TOutcome* failure) {
    const QJsonValue value = args.value(QLatin1String(key));
    if (value.isUndefined() && !required)
        return true;
    if (!value.isString()) {
        *failure = BadRequest(QStringLiteral("\"%1\" must be a text").arg(QLatin1String(key)));
        return false;
    }
    const std::optional<QByteArray> bytes = WireText(value.toString());
    if (!bytes) {
        *failure = Fail(ControlError::Refused,
                        QStringLiteral("\"%1\" holds characters that code page 1252 cannot carry")
                            .arg(QLatin1String(key)));
        return false;
    }
    *out = *bytes;
    return true;
}

bool FlagArg(const QJsonObject& args, const char* key, bool* out, TOutcome* failure) {
    const QJsonValue value = args.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isBool()) {
        *failure =
            BadRequest(QStringLiteral("\"%1\" must be true or false").arg(QLatin1String(key)));
        return false;
    }
    *out = value.toBool();
    return true;
}

QString Quoted(const QByteArray& text) {
    return QLatin1Char('\'') + FromBytes(text) + QLatin1Char('\'');
}

qint64 ResidentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

} // namespace

const TControlOps::TOpEntry TControlOps::kOps[] = {
    {"hello", &TControlOps::Hello},
    {"users", &TControlOps::Users},
    {"user", &TControlOps::User},
    {"chats", &TControlOps::Chats},
    {"bans", &TControlOps::Bans},
    {"mail", &TControlOps::Mail},
    {"kick", &TControlOps::Kick},
    {"kick-ban", &TControlOps::KickBan},
    {"ban-add", &TControlOps::BanAdd},
    {"ban-edit", &TControlOps::BanEdit},
    {"ban-remove", &TControlOps::BanRemove},
    {"mail-add", &TControlOps::MailAdd},
    {"mail-edit", &TControlOps::MailEdit},
    {"mail-delete", &TControlOps::MailDelete},
    {"broadcast", &TControlOps::Broadcast},
    {"send", &TControlOps::Send},
    {"ping", &TControlOps::Ping},
    {"remove", &TControlOps::Remove},
    {"kill-chat", &TControlOps::KillChat},
    {"stats", &TControlOps::Stats},
    {"reload", &TControlOps::DoReload},
};

TControlOps::TControlOps(TServerRuntime& runtime) : Runtime(runtime), Core(runtime.Server()) {
    Clock.start();
    SampleDeliveries();
    Sampler.setInterval(kSampleEveryMs);
    QObject::connect(&Sampler, &QTimer::timeout, [this] { SampleDeliveries(); });
    Sampler.start();
}

QStringList TControlOps::Operations() {
    QStringList names;
    for (const TOpEntry& op : kOps)
        names << QLatin1String(op.Name);
    return names;
}

QByteArray TControlOps::HandleLine(const QByteArray& line) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &parse);
    QJsonObject response;
    if (!doc.isObject()) {
        response = QJsonObject{
            {QStringLiteral("id"), QJsonValue()},
            {QStringLiteral("ok"), false},
            {QStringLiteral("code"), QLatin1String(ControlError::BadRequest)},
            {QStringLiteral("error"), parse.error != QJsonParseError::NoError
                                          ? QStringLiteral("not JSON: %1 at offset %2")
                                                .arg(parse.errorString())
                                                .arg(parse.offset)
                                          : QStringLiteral("a request is a JSON object")}};
    } else {
        response = Handle(doc.object());
    }
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

QJsonObject TControlOps::Handle(const QJsonObject& request) {
    const QJsonValue id = request.value(QStringLiteral("id"));
    const QJsonValue op = request.value(QStringLiteral("op"));
    const QJsonValue args = request.value(QStringLiteral("args"));
    TOutcome outcome;
    if (!op.isString())
        outcome = BadRequest(QStringLiteral("\"op\" must name an operation"));
    else if (!args.isUndefined() && !args.isNull() && !args.isObject())
        outcome = BadRequest(QStringLiteral("\"args\" must be an object"));
    else {
        const TOpEntry* entry = nullptr;
        for (const TOpEntry& e : kOps)
            if (op.toString() == QLatin1String(e.Name))
                entry = &e;
        outcome = entry ? (this->*(entry->Run))(args.toObject())
                        : Fail(ControlError::UnknownOp,
                               QStringLiteral("unknown operation '%1'").arg(op.toString()));
    }
    QJsonObject response{{QStringLiteral("id"), id.isUndefined() ? QJsonValue() : id},
                         {QStringLiteral("ok"), outcome.Code == nullptr}};
    if (outcome.Code) {
        response.insert(QStringLiteral("code"), QLatin1String(outcome.Code));
        response.insert(QStringLiteral("error"), outcome.Error);
    } else {
        response.insert(QStringLiteral("result"), outcome.Result);
    }
    return response;
}

TConnection* TControlOps::FindUser(const QJsonObject& args, TOutcome* failure) const {
    const QJsonValue ref = args.value(QStringLiteral("user"));
    const QJsonObject user = ref.toObject();
    const TRegistry& registry = Core.Registry();
    if (user.contains(QStringLiteral("nick"))) {
        QByteArray nick;
        if (!TextArg(user, "nick", true, &nick, failure))
            return nullptr;
        // As the console's Kick: the first user in list order, ASCII case
        // ignored, not trimmed; an empty nickname names the first connection
        // that has not logged on.
        if (TConnection* found = registry.FindUserByNickname(nick))
            return found;
        *failure = Fail(ControlError::NotFound,
                        QStringLiteral("no user has the nickname %1").arg(Quoted(nick)));
        return nullptr;
    }
    uint64_t id = 0;
    if (!ref.isObject() || !IdArg(user, "id", &id, failure)) {
        *failure =
            BadRequest(QStringLiteral("\"user\" must be {\"nick\": text} or {\"id\": number}"));
        return nullptr;
    }
    TConnection* found = nullptr;
    if (user.contains(QStringLiteral("socket"))) {
        found = registry.FindUser(
            TUserHandle{SocketHandle(user.value(QStringLiteral("socket")).toDouble()), id});
    } else {
        // Without the socket the id is looked for along the list: an
        // operator's command, not a client's record.
        for (const auto& u : registry.Users())
            if (u->Order == id) {
                found = u.get();
                break;
            }
    }
    if (!found)
        *failure = Fail(ControlError::NotFound,
                        QStringLiteral("no user with id %1 (it has left or was removed)").arg(id));
    return found;
}

TOutcome TControlOps::Hello(const QJsonObject&) {
    return Ok(QJsonObject{{QStringLiteral("protocol"), kControlProtocolVersion},
                          {QStringLiteral("server"), ServerName},
                          {QStringLiteral("version"), Version},
                          {QStringLiteral("nick"), FromBytes(Core.ServerNick)},
                          {QStringLiteral("ops"), QJsonArray::fromStringList(Operations())}});
}

TOutcome TControlOps::Users(const QJsonObject&) {
    QJsonArray users;
    for (const auto& user : Core.Registry().Users())
        users.append(UserOf(*user));
    return Ok(QJsonObject{{QStringLiteral("users"), users}});
}

TOutcome TControlOps::User(const QJsonObject& args) {
    TOutcome failure;
    const TConnection* user = FindUser(args, &failure);
    return user ? Ok(QJsonObject{{QStringLiteral("user"), UserOf(*user)}}) : failure;
}

TOutcome TControlOps::Chats(const QJsonObject&) {
    QJsonArray chats;
    for (const auto& chat : Core.Registry().Chats())
        chats.append(ChatJson(*chat));
    return Ok(QJsonObject{{QStringLiteral("chats"), chats}});
}

TOutcome TControlOps::Bans(const QJsonObject&) {
    QJsonArray bans;
    for (const auto& ban : Core.Bans().Bans())
        bans.append(BanJson(*ban));
    return Ok(QJsonObject{{QStringLiteral("bans"), bans}});
}

TOutcome TControlOps::Mail(const QJsonObject&) {
    QJsonArray mail;
    for (const TMailItem* item : Core.Mail().Items())
        mail.append(MailJson(*item));
    return Ok(QJsonObject{{QStringLiteral("mail"), mail}});
}

TOutcome TControlOps::ActOnUser(const QJsonObject& args,
                                const std::function<void(const TUserHandle&)>& act) {
    TOutcome failure;
    const TConnection* user = FindUser(args, &failure);
    if (!user)
        return failure;
    // Taken first: the act may end the record.
    const QJsonObject shown = UserOf(*user);
    act(user->Handle());
    return Ok(QJsonObject{{QStringLiteral("user"), shown}});
}

TOutcome TControlOps::Kick(const QJsonObject& args) {
    return ActOnUser(args, [this](const TUserHandle& handle) { Core.Kick(handle); });
}

TOutcome TControlOps::KickBan(const QJsonObject& args) {
    TOutcome failure;
    QByteArray comment;
    if (!TextArg(args, "comment", false, &comment, &failure))
        return failure;
    const TConnection* user = FindUser(args, &failure);
    if (!user)
        return failure;
    const QJsonObject shown = UserOf(*user);
    const TBan* ban = Core.KickAndBan(user->Handle(), comment);
    return Ok(QJsonObject{{QStringLiteral("user"), shown}, {QStringLiteral("ban"), BanJson(*ban)}});
}

TOutcome TControlOps::BanAdd(const QJsonObject& args) {
    if (!args.value(QStringLiteral("nick")).isString() && !args.contains(QStringLiteral("ip")))
        return BadRequest(QStringLiteral("a ban needs a nickname mask or an address mask (an "
                                         "address mask of *.*.*.* alone refuses everybody)"));
    // Without an address mask the ban holds for every address; without a
    // nickname mask, for every nickname.
    TBan fields;
    fields.Nick = "*";
    QString error;
    if (!ApplyBanFields(args, fields, &error))
        return BadRequest(error);
    const TBan* ban = Core.NewBanWithRow(fields);
    return Ok(QJsonObject{{QStringLiteral("ban"), BanJson(*ban)}});
}

TOutcome TControlOps::BanEdit(const QJsonObject& args) {
    TOutcome failure;
    const TBan* ban = RecordArg(
        args, "ban", [this](uint64_t id) { return Core.FindBanById(id); }, &failure);
    if (!ban)
        return failure;
    const TBanId id = ban->Id;
    TBan fields = *ban;
    QString error;
    if (!ApplyBanFields(args, fields, &error))
        return BadRequest(error);
    Core.EditBan(id, fields);
    return Ok(QJsonObject{{QStringLiteral("ban"), BanJson(*Core.FindBanById(id))}});
}

TOutcome TControlOps::BanRemove(const QJsonObject& args) {
    TOutcome failure;
    const TBan* ban = RecordArg(
        args, "ban", [this](uint64_t id) { return Core.FindBanById(id); }, &failure);
    if (!ban)
        return failure;
    const QJsonObject shown = BanJson(*ban);
    Core.RemoveBan(ban->Id);
    return Ok(QJsonObject{{QStringLiteral("ban"), shown}});
}

namespace {

// The Edit Message dialog takes no blank target, sender or message.
QString BlankMailField(const QByteArray& target, const QByteArray& sender, const QByteArray& msg) {
    if (TrimText(target).isEmpty())
        return QStringLiteral("the target is blank");
    if (TrimText(sender).isEmpty())
        return QStringLiteral("the sender is blank");
    if (TrimText(msg).isEmpty())
        return QStringLiteral("the message is blank");
    return QString();
}

QJsonObject MailOutcome(bool delivered, const TMailItem* stored) {
    return QJsonObject{
        {QStringLiteral("delivered"), delivered},
        {QStringLiteral("mail"), stored ? QJsonValue(MailJson(*stored)) : QJsonValue()}};
}

} // namespace

TOutcome TControlOps::MailAdd(const QJsonObject& args) {
    TOutcome failure;
    QByteArray target, msg;
    QByteArray sender = Core.ServerNick;
    if (!TextArg(args, "target", true, &target, &failure) ||
        !TextArg(args, "sender", false, &sender, &failure) ||
        !TextArg(args, "text", true, &msg, &failure))
        return failure;
    const QString blank = BlankMailField(target, sender, msg);
    if (!blank.isEmpty())
        return BadRequest(blank);
    TMailId stored = 0;
    const bool delivered = Core.DeliverOrStoreMail(target, sender, msg, &stored);
    return Ok(MailOutcome(delivered, delivered ? nullptr : Core.FindMail(stored)));
}

TOutcome TControlOps::MailEdit(const QJsonObject& args) {
    TOutcome failure;
    const TMailItem* item = RecordArg(
        args, "mail", [this](uint64_t id) { return Core.FindMail(id); }, &failure);
    if (!item)
        return failure;
    const TMailId id = item->Id;
    QByteArray target = item->Target, sender = item->Sender, msg = item->Msg;
    if (!TextArg(args, "target", false, &target, &failure) ||
        !TextArg(args, "sender", false, &sender, &failure) ||
        !TextArg(args, "text", false, &msg, &failure))
        return failure;
    const QString blank = BlankMailField(target, sender, msg);
    if (!blank.isEmpty())
        return BadRequest(blank);
    TMailId stored = 0;
    const bool delivered =
        Core.EditMail(id, target, sender, msg, &stored) == TServer::TMailEdit::Delivered;
    return Ok(MailOutcome(delivered, delivered ? nullptr : Core.FindMail(stored)));
}

TOutcome TControlOps::MailDelete(const QJsonObject& args) {
    TOutcome failure;
    const TMailItem* item = RecordArg(
        args, "mail", [this](uint64_t id) { return Core.FindMail(id); }, &failure);
    if (!item)
        return failure;
    const QJsonObject shown = MailJson(*item);
    Core.RemoveMail(item->Id);
    return Ok(QJsonObject{{QStringLiteral("mail"), shown}});
}

TOutcome TControlOps::Broadcast(const QJsonObject& args) {
    TOutcome failure;
    QByteArray text;
    bool anonymous = false;
    if (!TextArg(args, "text", true, &text, &failure) ||
        !FlagArg(args, "anonymous", &anonymous, &failure))
        return failure;
    const int recipients = Core.Registry().UserCount();
    Core.Broadcast(text, anonymous);
    return Ok(QJsonObject{{QStringLiteral("recipients"), recipients}});
}

TOutcome TControlOps::Send(const QJsonObject& args) {
    TOutcome failure;
    QByteArray text;
    if (!TextArg(args, "text", true, &text, &failure))
        return failure;
    return ActOnUser(
        args, [this, &text](const TUserHandle& handle) { Core.SendServerMessage(handle, text); });
}

TOutcome TControlOps::Ping(const QJsonObject& args) {
    TOutcome failure;
    const TConnection* user = FindUser(args, &failure);
    if (!user)
        return failure;
    Core.PingUser(user->Handle());
    return Ok(QJsonObject{{QStringLiteral("user"), UserOf(*user)}});
}

TOutcome TControlOps::Remove(const QJsonObject& args) {
    return ActOnUser(args, [this](const TUserHandle& handle) { Core.RemoveUser(handle); });
}

TOutcome TControlOps::KillChat(const QJsonObject& args) {
    TOutcome failure;
    const QJsonObject ref = args.value(QStringLiteral("chat")).toObject();
    const TChat* chat = nullptr;
    if (ref.contains(QStringLiteral("name"))) {
        QByteArray name;
        if (!TextArg(ref, "name", true, &name, &failure))
            return failure;
        chat = Core.Registry().FindChatByName(name);
        if (!chat)
            return Fail(ControlError::NotFound,
                        QStringLiteral("no chat is named %1").arg(Quoted(name)));
    } else {
        uint64_t id = 0;
        if (!IdArg(ref, "id", &id, &failure))
            return BadRequest(
                QStringLiteral("\"chat\" must be {\"name\": text} or {\"id\": number}"));
        chat = Core.FindChat(id);
        if (!chat)
            return Fail(ControlError::NotFound,
                        QStringLiteral("no chat with id %1 (it has ended)").arg(id));
    }
    const QJsonObject shown = ChatJson(*chat);
    Core.KillChat(chat->Id());
    return Ok(QJsonObject{{QStringLiteral("chat"), shown}});
}

TOutcome TControlOps::Stats(const QJsonObject&) {
    int loggedOn = 0;
    for (const auto& user : Core.Registry().Users())
        loggedOn += user->LoggedIn ? 1 : 0;
    return Ok(QJsonObject{{QStringLiteral("connections"), Runtime.Connections().ConnectionCount()},
                          {QStringLiteral("users"), Core.Registry().UserCount()},
                          {QStringLiteral("logged_on"), loggedOn},
                          {QStringLiteral("chats"), Core.Registry().ChatCount()},
                          {QStringLiteral("bans"), Core.Bans().Count()},
                          {QStringLiteral("mails"), Core.Mail().Count()},
                          {QStringLiteral("deliveries"), double(Core.RecordsSent())},
                          {QStringLiteral("deliveries_per_second"), DeliveriesPerSecond()},
                          {QStringLiteral("rss_bytes"), double(ResidentBytes())},
                          {QStringLiteral("uptime_seconds"), double(Clock.elapsed() / 1000)}});
}

TOutcome TControlOps::DoReload(const QJsonObject&) {
    if (!Reload)
        return Fail(ControlError::Unavailable, QStringLiteral("reload not available"));
    QString message;
    if (!Reload(&message))
        return Fail(ControlError::Refused,
                    message.isEmpty() ? QStringLiteral("reload failed") : message);
    QJsonObject result{{QStringLiteral("reloaded"), true}};
    if (!message.isEmpty())
        result.insert(QStringLiteral("message"), message);
    return Ok(result);
}

void TControlOps::SampleDeliveries() {
    Samples.emplace_back(Clock.elapsed(), Core.RecordsSent());
    while (Samples.size() > kSamplesKept)
        Samples.pop_front();
}

double TControlOps::DeliveriesPerSecond() {
    // Over the last ten seconds (less just after the start).
    const qint64 now = Clock.elapsed();
    const auto& [then, sent] = Samples.front();
    if (now <= then)
        return 0;
    const double rate = double(Core.RecordsSent() - sent) * 1000.0 / double(now - then);
    return std::round(rate * 10) / 10;
}

} // namespace kelvra
