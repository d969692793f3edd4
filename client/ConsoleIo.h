#pragma once
// The terminal side of kelvra-client: lines in from stdin (edited with libedit
// on a terminal, read as they arrive otherwise), lines out to stdout and stderr
// without breaking the prompt.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSocketNotifier;

namespace kelvra {

class TConsoleIo : public QObject {
    Q_OBJECT
public:
    // pending: bytes already read from stdin that belong to the input.
    TConsoleIo(bool interactive, QByteArray pending, QObject* parent = nullptr);
    ~TConsoleIo() override;

    // The candidates for the word at wordStart of line (the text before the cursor).
    using TCompleter = std::function<QStringList(const QString& line, qsizetype wordStart)>;

    bool Interactive() const { return IsInteractive; }
    void SetCompleter(TCompleter completer) { Completer = std::move(completer); }
    void Start(const QString& prompt);
    // A new prompt; on a terminal a line being typed starts afresh.
    void SetPrompt(const QString& prompt);
    // Gives the terminal back; no more lines are read.
    void Stop();

    void PrintLine(const QString& line);
    void PrintError(const QString& line);

    // The first line of stdin, read before the event loop runs (the
    // password). On a terminal it is read without echo. Whatever was read
    // beyond the line is left in rest.
    static QByteArray ReadFirstLine(bool interactive, QByteArray& rest);
    // A line typed without echo, on a terminal only. Blocks: for the rare
    // question the login asks again.
    QString ReadHidden(const QString& prompt);

signals:
    void LineRead(const QString& line);
    void EndOfInput();

private:
    void OnReadable();
    void TakeLines(bool atEnd);
    void Write(FILE* stream, const QString& line);
    static void OnEditedLine(char* line);
    static char** OnComplete(const char* text, int start, int end);
    static char* NextMatch(const char* text, int state);
    static QByteArray ReadLine(const char* prompt, bool interactive, QByteArray& rest);

    bool IsInteractive;
    bool Running = false;
    bool EditorInstalled = false;
    bool LineDelivered = false;
    QByteArray Prompt;
    QByteArray Pending;
    QSocketNotifier* Notifier = nullptr;
    TCompleter Completer;
    static TConsoleIo* EditorOwner;
};

} // namespace kelvra
