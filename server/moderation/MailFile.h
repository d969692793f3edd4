#pragma once
// The mail file read and written as a stream: the "Mail" section of a profile
// file (count "Mail", items "1Target", "1Sender", "1Msg", ...), with every
// other line of the file kept. Memory stays near the size of the records, not
// a multiple of the file.
#include "MailStore.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace kelvra {

// One version of a file: its size and a hash of its bytes. A missing file and
// an empty one have the same print.
struct TFilePrint {
    quint64 Size = 0;
    quint64 Hash = 0;
    bool operator==(const TFilePrint& o) const { return Size == o.Size && Hash == o.Hash; }
    bool operator!=(const TFilePrint& o) const { return !(*this == o); }
};

// A fast 64-bit hash fed in pieces; it tells versions of our own files apart
// and torn journal records from whole ones, nothing more.
class TContentHash {
public:
    void Add(const char* data, qsizetype size);
    void Add(const QByteArray& bytes) { Add(bytes.constData(), bytes.size()); }
    TFilePrint Print() const;

private:
    void Mix(quint64 word);
    quint64 State = 0x9E3779B97F4A7C15ull;
    quint64 Size = 0;
    char Tail[8] = {};
    int TailSize = 0;
};

namespace MailFile {

// Where a save writes before the file is replaced; one left by a kill is stale.
QString TempPathFor(const QString& path);

// The records of the file's first "Mail" section (first match of each key;
// as many as "Mail" says, missing fields empty). A missing file gives none.
// False when the file exists but cannot be read.
bool Read(const QString& path, std::vector<TMailItem>* records, TFilePrint* print,
          QString* error = nullptr);

// Writes records into tempPath (readable by its owner only, flushed to the
// disk) as the file at path with its "Mail" section replaced: every other
// line is kept, our items beyond the new count are not. print: of the bytes
// written. On failure: "Unable to write to <path>", the temporary file gone.
bool Write(const QString& path, const QString& tempPath, const std::vector<TMailItem>& records,
           TFilePrint* print, QString* error = nullptr);

// Renames tempPath over path and flushes the folder, so the rename survives a
// crash of the machine.
bool Replace(const QString& tempPath, const QString& path, QString* error = nullptr);

// Write and Replace in one go.
bool Save(const QString& path, const std::vector<TMailItem>& records, TFilePrint* print = nullptr,
          QString* error = nullptr);

// A symbolic link at path is followed, so a save replaces the file it points to.
QString Resolved(const QString& path);

// Flushes a folder's entries (after a rename or a removal in it).
void SyncFolder(const QString& path);

} // namespace MailFile
} // namespace kelvra
