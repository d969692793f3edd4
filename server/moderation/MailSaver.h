#pragma once
// Keeps the mail store on disk without rewriting it per change: every change
// is appended to the journal beside the mail file as it happens (a kill loses
// nothing the store accepted) and flushed to the disk within a second; the
// store is folded into the mail file on a worker thread once the journal
// outgrows it, and at the close. The next start replays the journal.
#include "MailJournal.h"
#include "MailStore.h"

#include <QStringList>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

class QThread;

namespace kelvra {

class TMailSaver : public IMailChanges {
public:
    explicit TMailSaver(TMailStore& store);
    ~TMailSaver() override;

    // The longest a change waits before the journal is flushed to the disk.
    static constexpr int kSyncDelayMs = 1000;
    // The journal is folded once it is larger than the store and than this.
    static constexpr qint64 kMinFoldBytes = 1024 * 1024;

    // A save in the background failed; told once per distinct failure until a
    // save succeeds again.
    std::function<void(const QString& error)> Report;

    // What a start finds: the mail file with the journal beside it replayed.
    struct TStored {
        enum class TJournal { None, Replayed, Empty, Foreign, Unreadable };
        bool FileRead = true;
        QString FileError;
        TFilePrint Print; // of the mail file
        TJournal Journal = TJournal::None;
        qint64 GoodEnd = 0; // where the journal's whole records end
        int Applied = 0;    // journal records applied to the file's records
        quint64 NextNumber = 1;
        quint64 LastSerial = 0;
    };
    // Fills the empty store from the files at path; touches no file.
    static TStored ReadStored(const QString& path, TMailStore& store);

    // ReadStored into the empty store, then clears what a crash left beside
    // the file and journals every later change. notes: lines for the operator.
    void Load(const QString& path, QStringList* notes);
    // Folds the store into the mail file now and removes the journal, after a
    // save under way; writes the store into otherPath too when that is
    // another file (the operator chose it meanwhile). Without Load, only that.
    bool SaveNow(const QString& otherPath, QString* error);

    // IMailChanges
    void MailAdded(TMailItem& item) override;
    void MailRemoved(const TMailItem& item) override;

    bool Folding() const { return Writer != nullptr; }
    qint64 JournalBytes() const { return JournalSize; }
    QString JournalPath() const { return TMailJournal::PathFor(HomePath); }

private:
    struct TFoldJob;
    void Journal(const TMailJournal::TRecord& record);
    bool WriteRecord(const TMailJournal::TRecord& record);
    bool CreateJournal();
    void CloseJournal(bool remove);
    void MarkBroken(const QString& error);
    void Renumber();
    bool OverThreshold() const;
    void MaybeFold();
    void StartFold();
    void FinishFold();
    void WaitForFold();
    void RebaseJournal(qint64 tailStart);
    void FoldFailed(const QString& error);
    void StartSync();
    void WaitForSync();
    void Failed(const QString& error);
    void Succeeded();

    TMailStore& Store;
    QString HomePath;
    bool Loaded = false; // and the files could be read: changes are journalled
    TFilePrint CurrentPrint;
    quint64 NextNumber = 1;
    quint64 FoldSerial = 0;

    int Fd = -1; // the journal, open for appending
    qint64 JournalSize = 0;
    bool FolderUnsynced = false;
    // An append failed: the journal no longer follows the store, and only a
    // fold of the whole store puts it on disk again.
    bool Broken = false;
    int ChangesSinceSnapshot = 0;

    std::unique_ptr<QThread> Writer;
    std::shared_ptr<TFoldJob> Job;
    std::unique_ptr<QThread> Syncer;
    std::shared_ptr<std::atomic<int>> SyncResult; // 1 running, 0 done, -1 failed
    QTimer SyncTimer;
    QTimer RetryTimer;
    int RetryDelayMs = 1000;
    QString LastError;
};

} // namespace kelvra
