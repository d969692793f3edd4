#include "MailSaver.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvra {

namespace {

using TRecord = TMailJournal::TRecord;
using TKind = TMailJournal::TKind;

constexpr int kMaxRetryDelayMs = 60 * 1000;

bool WriteAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

QByteArray Name(const QString& path) {
    return QFile::encodeName(path);
}

QString UnableToWrite(const QString& path) {
    return QStringLiteral("Unable to write to %1").arg(path);
}

} // namespace

struct TMailSaver::TFoldJob {
    QString Path;
    std::vector<TMailItem> Records;
    quint64 Serial = 0;
    qint64 TailStart = 0;
    bool Ok = false;
    TFilePrint Print;
    QString Error;
    std::atomic<bool> Done{false};
};

TMailSaver::TMailSaver(TMailStore& store) : Store(store) {
    SyncTimer.setSingleShot(true);
    QObject::connect(&SyncTimer, &QTimer::timeout, [this] { StartSync(); });
    RetryTimer.setSingleShot(true);
    QObject::connect(&RetryTimer, &QTimer::timeout, [this] {
        if (Broken || OverThreshold())
            StartFold();
    });
}

TMailSaver::~TMailSaver() {
    // Whatever was journalled stays valid without the fold under way.
    Store.SetListener(nullptr);
    Report = nullptr;
    if (Writer) {
        Writer->wait();
        QFile::remove(MailFile::TempPathFor(HomePath));
    }
    WaitForSync();
    CloseJournal(false);
}

TMailSaver::TStored TMailSaver::ReadStored(const QString& path, TMailStore& store) {
    TStored s;
    std::vector<TMailItem> records;
    if (!MailFile::Read(path, &records, &s.Print, &s.FileError)) {
        s.FileRead = false;
        return s;
    }
    QHash<quint64, TMailItem*> numbered;
    for (const TMailItem& r : records) {
        TMailItem* item = store.Append(r.Target, r.Sender, r.Msg);
        item->DiskId = s.NextNumber++;
        numbered.insert(item->DiskId, item);
    }
    records.clear();

    QFile file(TMailJournal::PathFor(path));
    if (!file.exists())
        return s;
    if (!file.open(QIODevice::ReadOnly)) {
        s.Journal = TStored::TJournal::Unreadable;
        return s;
    }
    // First where to start: just after the base when the journal continues
    // this version of the file, or after the renumbering that a fold wrote
    // this version from (a kill between the file's rename and the journal's).
    qint64 start = -1;
    {
        TMailJournal::TReader reader(file);
        TRecord r;
        if (!reader.Next(&r)) {
            s.Journal = TStored::TJournal::Empty; // torn before its first record
            return s;
        }
        if (r.Kind != TKind::Base) {
            s.Journal = TStored::TJournal::Foreign;
            return s;
        }
        if (r.Print == s.Print)
            start = reader.GoodEnd();
        QHash<quint64, qint64> renumbered;
        while (reader.Next(&r)) {
            if (r.Kind == TKind::Renumber) {
                renumbered.insert(r.Number, reader.GoodEnd());
                s.LastSerial = std::max(s.LastSerial, r.Number);
            } else if (r.Kind == TKind::Folded && r.Print == s.Print &&
                       renumbered.contains(r.Number)) {
                start = renumbered.value(r.Number);
            }
        }
        s.GoodEnd = reader.GoodEnd();
    }
    if (start < 0) {
        s.Journal = TStored::TJournal::Foreign;
        return s;
    }
    s.Journal = TStored::TJournal::Replayed;
    TMailJournal::TReader reader(file, start);
    TRecord r;
    while (reader.GoodEnd() < s.GoodEnd && reader.Next(&r)) {
        switch (r.Kind) {
        case TKind::Add: {
            TMailItem* item = store.Append(r.Target, r.Sender, r.Msg);
            item->DiskId = r.Number;
            numbered.insert(r.Number, item);
            s.NextNumber = std::max(s.NextNumber, r.Number + 1);
            ++s.Applied;
            break;
        }
        case TKind::Remove:
            if (TMailItem* item = numbered.take(r.Number))
                store.Remove(item);
            ++s.Applied;
            break;
        case TKind::Renumber:
            numbered.clear();
            s.NextNumber = 1;
            for (TMailItem* item : store.Items()) {
                item->DiskId = s.NextNumber++;
                numbered.insert(item->DiskId, item);
            }
            break;
        case TKind::Base:
        case TKind::Folded:
            break;
        }
    }
    return s;
}

void TMailSaver::Load(const QString& path, QStringList* notes) {
    HomePath = MailFile::Resolved(path);
    const QString journal = JournalPath();
    // Temporary files of a save that a kill interrupted: the files they were
    // to replace are still whole.
    QFile::remove(MailFile::TempPathFor(HomePath));
    QFile::remove(MailFile::TempPathFor(journal));

    const TStored s = ReadStored(HomePath, Store);
    CurrentPrint = s.Print;
    NextNumber = s.NextNumber;
    FoldSerial = s.LastSerial;
    if (!s.FileRead) {
        // Writing over a file we cannot read would lose it: nothing is
        // journalled, and the close reports the failure.
        notes->append(s.FileError);
        return;
    }
    using TJournal = TStored::TJournal;
    switch (s.Journal) {
    case TJournal::None:
        break;
    case TJournal::Empty:
        QFile::remove(journal);
        break;
    case TJournal::Unreadable:
        notes->append(QStringLiteral("Unable to read %1").arg(journal));
        return;
    case TJournal::Foreign: {
        // The mail file was replaced by another while the server was down; the
        // journal is kept (one copy) for the operator, never applied.
        const QString aside = journal + QStringLiteral(".unmatched");
        QFile::remove(aside);
        QFile::rename(journal, aside);
        notes->append(QStringLiteral("The mail journal %1 does not belong to %2; kept as %3")
                          .arg(journal, HomePath, aside));
        break;
    }
    case TJournal::Replayed:
        if (s.Applied == 0) {
            QFile::remove(journal);
            break;
        }
        // Carries on after the last whole record; a torn one is cut off.
        Fd = ::open(Name(journal).constData(), O_RDWR | O_CLOEXEC);
        if (Fd < 0 || ::ftruncate(Fd, s.GoodEnd) != 0 || ::lseek(Fd, 0, SEEK_END) < 0) {
            CloseJournal(false);
            MarkBroken(UnableToWrite(journal));
            break;
        }
        JournalSize = s.GoodEnd;
        break;
    }
    Store.SetListener(this);
    Loaded = true;
    MaybeFold();
}

void TMailSaver::MailAdded(TMailItem& item) {
    item.DiskId = NextNumber++;
    TRecord r;
    r.Kind = TKind::Add;
    r.Number = item.DiskId;
    r.Target = item.Target;
    r.Sender = item.Sender;
    r.Msg = item.Msg;
    Journal(r);
}

void TMailSaver::MailRemoved(const TMailItem& item) {
    TRecord r;
    r.Kind = TKind::Remove;
    r.Number = item.DiskId;
    Journal(r);
}

void TMailSaver::Journal(const TRecord& record) {
    if (!Loaded)
        return;
    ++ChangesSinceSnapshot;
    if (Broken) {
        if (!Writer && !RetryTimer.isActive())
            RetryTimer.start(RetryDelayMs);
        return;
    }
    if (!WriteRecord(record))
        return;
    if (!SyncTimer.isActive())
        SyncTimer.start(kSyncDelayMs);
    MaybeFold();
}

bool TMailSaver::WriteRecord(const TRecord& record) {
    if (Fd < 0 && !CreateJournal())
        return false;
    const QByteArray bytes = TMailJournal::Encode(record);
    if (!WriteAll(Fd, bytes.constData(), bytes.size())) {
        // A record cut short would hide every later one at the replay.
        [[maybe_unused]] const int cut = ::ftruncate(Fd, JournalSize);
        MarkBroken(UnableToWrite(JournalPath()));
        return false;
    }
    JournalSize += bytes.size();
    return true;
}

bool TMailSaver::CreateJournal() {
    const QString path = JournalPath();
    // Users' private words: the owner's eyes only.
    Fd = ::open(Name(path).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (Fd >= 0)
        ::fchmod(Fd, 0600);
    TRecord base;
    base.Kind = TKind::Base;
    base.Print = CurrentPrint;
    const QByteArray head = TMailJournal::Magic() + TMailJournal::Encode(base);
    if (Fd < 0 || !WriteAll(Fd, head.constData(), head.size())) {
        CloseJournal(true);
        MarkBroken(UnableToWrite(path));
        return false;
    }
    JournalSize = head.size();
    FolderUnsynced = true;
    return true;
}

void TMailSaver::CloseJournal(bool remove) {
    WaitForSync();
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
    JournalSize = 0;
    if (remove && !HomePath.isEmpty()) {
        QFile::remove(JournalPath());
        MailFile::SyncFolder(HomePath);
    }
}

void TMailSaver::MarkBroken(const QString& error) {
    Broken = true;
    Failed(error);
    if (!Writer && !RetryTimer.isActive())
        RetryTimer.start(RetryDelayMs);
}

void TMailSaver::Renumber() {
    quint64 n = 1;
    for (TMailItem* item : Store.Items())
        item->DiskId = n++;
    NextNumber = n;
}

bool TMailSaver::OverThreshold() const {
    const TMailStore::TUsage total = Store.Total();
    const qint64 storeBytes = total.Bytes + 32 * static_cast<qint64>(total.Count);
    return JournalSize > std::max(kMinFoldBytes, storeBytes);
}

void TMailSaver::MaybeFold() {
    if (!Writer && !RetryTimer.isActive() && OverThreshold())
        StartFold();
}

void TMailSaver::StartFold() {
    if (Writer || !Loaded)
        return;
    auto job = std::make_shared<TFoldJob>();
    job->Serial = ++FoldSerial;
    if (!Broken && Fd >= 0) {
        TRecord r;
        r.Kind = TKind::Renumber;
        r.Number = job->Serial;
        WriteRecord(r);
    }
    // Changes from now on are journalled against this numbering, which is
    // the order the file is written in.
    job->TailStart = JournalSize;
    Renumber();
    ChangesSinceSnapshot = 0;
    job->Path = HomePath;
    job->Records = Store.Snapshot(); // the texts are shared, not copied
    Job = job;
    Writer.reset(QThread::create([job] {
        job->Ok = MailFile::Write(job->Path, MailFile::TempPathFor(job->Path), job->Records,
                                  &job->Print, &job->Error);
        job->Records.clear();
        job->Done = true;
    }));
    QObject::connect(Writer.get(), &QThread::finished, &SyncTimer, [this] { FinishFold(); });
    Writer->start();
}

void TMailSaver::FinishFold() {
    if (!Writer || !Job->Done)
        return;
    Writer->wait();
    Writer.reset();
    const std::shared_ptr<TFoldJob> job = std::move(Job);
    if (!job->Ok) {
        FoldFailed(job->Error);
        return;
    }
    // The journal names the new file before the file takes its place, so a
    // kill between the two still finds the changes made since the renumbering.
    if (!Broken && Fd >= 0) {
        TRecord r;
        r.Kind = TKind::Folded;
        r.Number = job->Serial;
        r.Print = job->Print;
        if (WriteRecord(r) && ::fdatasync(Fd) != 0)
            MarkBroken(UnableToWrite(JournalPath()));
    }
    QString error;
    if (!MailFile::Replace(MailFile::TempPathFor(HomePath), HomePath, &error)) {
        FoldFailed(error);
        return;
    }
    CurrentPrint = job->Print;
    RebaseJournal(job->TailStart);
    Succeeded();
}

void TMailSaver::WaitForFold() {
    if (!Writer)
        return;
    Writer->wait();
    FinishFold();
}

void TMailSaver::RebaseJournal(qint64 tailStart) {
    if (Broken) {
        // The file holds the store as it was at the snapshot; changes made
        // since are on disk only after the next fold.
        CloseJournal(true);
        if (ChangesSinceSnapshot == 0)
            Broken = false;
        else
            RetryTimer.start(0);
        return;
    }
    if (Fd < 0)
        return;
    if (JournalSize == tailStart) {
        CloseJournal(true);
        return;
    }
    // A new journal: the base is the new file, then the changes made since the
    // snapshot. Should this fail, the old journal still replays correctly.
    const QString path = JournalPath();
    const QString temp = MailFile::TempPathFor(path);
    const int out = ::open(Name(temp).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    ::fchmod(out, 0600);
    TRecord base;
    base.Kind = TKind::Base;
    base.Print = CurrentPrint;
    const QByteArray head = TMailJournal::Magic() + TMailJournal::Encode(base);
    bool ok = WriteAll(out, head.constData(), head.size());
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (qint64 at = tailStart; ok && at < JournalSize;) {
        const ssize_t n =
            ::pread(Fd, chunk.data(),
                    static_cast<size_t>(std::min<qint64>(chunk.size(), JournalSize - at)), at);
        ok = n > 0 && WriteAll(out, chunk.constData(), n);
        at += n;
    }
    ok = ok && ::fdatasync(out) == 0 &&
         ::rename(Name(temp).constData(), Name(path).constData()) == 0;
    if (!ok) {
        ::close(out);
        ::unlink(Name(temp).constData());
        return;
    }
    MailFile::SyncFolder(path);
    const qint64 size = static_cast<qint64>(head.size()) + (JournalSize - tailStart);
    CloseJournal(false);
    Fd = out;
    JournalSize = size;
}

void TMailSaver::FoldFailed(const QString& error) {
    Failed(error);
    // A full disk is not hammered: later attempts wait longer and longer.
    RetryTimer.start(RetryDelayMs);
    RetryDelayMs = std::min(RetryDelayMs * 2, kMaxRetryDelayMs);
}

void TMailSaver::StartSync() {
    if (Fd < 0)
        return;
    if (Syncer) {
        if (SyncResult->load() == 1) {
            SyncTimer.start(kSyncDelayMs / 4);
            return;
        }
        WaitForSync();
    }
    const int fd = ::dup(Fd);
    if (fd < 0)
        return;
    auto result = std::make_shared<std::atomic<int>>(1);
    const bool folder = FolderUnsynced;
    FolderUnsynced = false;
    // The flush waits for the disk: not on the event loop.
    Syncer.reset(QThread::create([fd, result, folder, path = HomePath] {
        const bool ok = ::fdatasync(fd) == 0;
        ::close(fd);
        if (folder)
            MailFile::SyncFolder(path);
        result->store(ok ? 0 : -1);
    }));
    SyncResult = result;
    Syncer->start();
}

void TMailSaver::WaitForSync() {
    if (!Syncer)
        return;
    Syncer->wait();
    Syncer.reset();
    if (SyncResult->load() < 0 && !Broken)
        MarkBroken(UnableToWrite(JournalPath()));
    SyncResult.reset();
}

void TMailSaver::Failed(const QString& error) {
    if (error != LastError && Report)
        Report(error);
    LastError = error;
}

void TMailSaver::Succeeded() {
    RetryDelayMs = 1000;
    LastError.clear();
}

bool TMailSaver::SaveNow(const QString& otherPath, QString* error) {
    if (!Loaded)
        return MailFile::Save(otherPath, Store.Snapshot(), nullptr, error);
    WaitForFold();
    WaitForSync();
    RetryTimer.stop();
    const quint64 serial = ++FoldSerial;
    if (!Broken && Fd >= 0) {
        TRecord r;
        r.Kind = TKind::Renumber;
        r.Number = serial;
        WriteRecord(r);
    }
    Renumber();
    ChangesSinceSnapshot = 0;
    const std::vector<TMailItem> records = Store.Snapshot();
    const QString temp = MailFile::TempPathFor(HomePath);
    TFilePrint print;
    QString failure;
    bool ok = MailFile::Write(HomePath, temp, records, &print, &failure);
    if (ok && !Broken && Fd >= 0) {
        TRecord r;
        r.Kind = TKind::Folded;
        r.Number = serial;
        r.Print = print;
        if (WriteRecord(r))
            ::fdatasync(Fd);
    }
    ok = ok && MailFile::Replace(temp, HomePath, &failure);
    if (ok) {
        CurrentPrint = print;
        CloseJournal(true);
        Broken = false;
        Succeeded();
    } else if (Broken) {
        RetryTimer.start(RetryDelayMs);
    }
    if (QFileInfo(MailFile::Resolved(otherPath)) != QFileInfo(HomePath)) {
        QString otherFailure;
        if (!MailFile::Save(otherPath, records, nullptr, &otherFailure) && ok) {
            ok = false;
            failure = otherFailure;
        }
    }
    if (!ok && error)
        *error = failure;
    return ok;
}

} // namespace kelvra
