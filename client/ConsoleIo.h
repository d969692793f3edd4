#pragma once
// The terminal side of kelvra-client: lines in from stdin (edited with libedit
// on a terminal, read as they arrive otherwise), lines out to stdout and stderr
// without breaking the prompt.
#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace kelvra {

class TConsoleIo : public QObject {
    Q_OBJECT
public:
    // pending: bytes already read from stdin that belong to the input.
    TConsoleIo(bool interactive, QByteArray pending, QObject* parent = nullptr);
    ~TConsoleIo() override;

    bool Interactive() const { return IsInteractive; }
    void Start(const QString& prompt);
    // Gives the terminal back; no more lines are read.
    void Stop();

    void PrintLine(const QString& line);
    void PrintError(const QString& line);

    // The first line of stdin, read before the event loop runs (the
    // password). On a terminal it is read without echo. Whatever was read
    // beyond the line is left in rest.
    static QByteArray ReadFirstLine(bool interactive, QByteArray& rest);

signals:
    void LineRead(const QString& line);
    void EndOfInput();

private:
    void OnReadable();
    void TakeLines(bool atEnd);
    void Write(FILE* stream, const QString& line);
    static void OnEditedLine(char* line);

    bool IsInteractive;
    bool Running = false;
    bool EditorInstalled = false;
    bool LineDelivered = false;
    QByteArray Prompt;
    QByteArray Pending;
    QSocketNotifier* Notifier = nullptr;
    static TConsoleIo* EditorOwner;
};

} // namespace kelvra
