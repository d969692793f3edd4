#pragma once
// The mail store's changes since the mail file was last written, appended as
// they happen so that a kill loses none of them.
//
// The file: the 8 bytes "KMAILJ1\n", then records, each a 32-bit
// little-endian body length, the body and a 64-bit hash of the body. A record
// cut short by a kill, or damaged, ends the journal: what comes before it
// counts. A body is a kind byte and its fields (integers 64-bit little-endian,
// texts a 32-bit length and the bytes):
//   Base      the print of the mail file that the journal continues
//   Add       number, target, sender, message
//   Remove    number
//   Renumber  serial: the stored records are numbered again, 1 to n in order
//   Folded    serial, print: the mail file written from that renumbering
// Numbers name records: after Base the mail file's records are 1 to n in file
// order, and each Add names the record it appends.
#include "MailFile.h"

#include <QByteArray>
#include <QFile>

namespace kelvra {

class TMailJournal {
public:
    enum class TKind : uint8_t {
        Base = 'B',
        Add = 'A',
        Remove = 'R',
        Renumber = 'N',
        Folded = 'F',
    };
    struct TRecord {
        TKind Kind = TKind::Base;
        quint64 Number = 0; // the record's number, or the serial of a renumbering
        TFilePrint Print;
        QByteArray Target, Sender, Msg;
    };

    static QString PathFor(const QString& mailFile) {
        return mailFile + QStringLiteral(".journal");
    }
    static QByteArray Magic() { return QByteArrayLiteral("KMAILJ1\n"); }
    static QByteArray Encode(const TRecord& record);

    // Reads the records of a journal from its start, or from the end of a
    // whole record found by an earlier reader.
    class TReader {
    public:
        explicit TReader(QFile& file, qint64 from = 0);
        // False at the end, at a torn or damaged record, or when the file
        // does not start like a journal.
        bool Next(TRecord* record);
        // Where the whole records end so far.
        qint64 GoodEnd() const { return End; }

    private:
        QFile& File;
        qint64 End = 0;
        bool Usable = false;
    };
};

} // namespace kelvra
