#include "ConsoleIo.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include <editline/readline.h>

namespace kelvra {

TConsoleIo* TConsoleIo::EditorOwner = nullptr;

namespace {

// Words are separated by blanks only, so that a quoted room name is one word.
char kWordBreaks[] = " \t";
QList<QByteArray> completionMatches;

} // namespace

TConsoleIo::TConsoleIo(bool interactive, QByteArray pending, QObject* parent)
    : QObject(parent), IsInteractive(interactive), Pending(std::move(pending)) {}

TConsoleIo::~TConsoleIo() {
    Stop();
}

void TConsoleIo::Start(const QString& prompt) {
    if (Running)
        return;
    Running = true;
    Notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TConsoleIo::OnReadable);
    if (IsInteractive) {
        EditorOwner = this;
        rl_readline_name = "kelvra-client";
        using_history();
        stifle_history(1000);
        rl_completer_word_break_characters = kWordBreaks;
        rl_attempted_completion_function = &TConsoleIo::OnComplete;
        Prompt = prompt.toLocal8Bit();
        rl_callback_handler_install(Prompt.constData(), &TConsoleIo::OnEditedLine);
        EditorInstalled = true;
    } else if (!Pending.isEmpty()) {
        TakeLines(false);
    }
}

void TConsoleIo::SetPrompt(const QString& prompt) {
    Prompt = prompt.toLocal8Bit();
    if (!EditorInstalled)
        return;
    rl_callback_handler_remove();
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    rl_callback_handler_install(Prompt.constData(), &TConsoleIo::OnEditedLine);
}

char** TConsoleIo::OnComplete(const char* text, int start, int end) {
    completionMatches.clear();
    TConsoleIo* self = EditorOwner;
    const QString before = QString::fromLocal8Bit(QByteArray(rl_line_buffer, start));
    // A file name for /log: the editor's own file name completion.
    if (before.trimmed().compare(QLatin1String("/log"), Qt::CaseInsensitive) == 0) {
        rl_attempted_completion_over = 0;
        return nullptr;
    }
    rl_attempted_completion_over = 1;
    if (!self || !self->Completer)
        return nullptr;
    const QString word = QString::fromLocal8Bit(QByteArray(text, end - start));
    for (const QString& c : self->Completer(before + word, before.size()))
        completionMatches << c.toLocal8Bit();
    if (completionMatches.isEmpty())
        return nullptr;
    return rl_completion_matches(text, &TConsoleIo::NextMatch);
}

char* TConsoleIo::NextMatch(const char*, int state) {
    static qsizetype next = 0;
    if (state == 0)
        next = 0;
    if (next >= completionMatches.size())
        return nullptr;
    return strdup(completionMatches[next++].constData());
}

void TConsoleIo::Stop() {
    if (!Running)
        return;
    Running = false;
    if (Notifier) {
        Notifier->setEnabled(false);
        Notifier->deleteLater();
        Notifier = nullptr;
    }
    if (EditorInstalled) {
        rl_callback_handler_remove();
        EditorInstalled = false;
        EditorOwner = nullptr;
        // Leave no prompt behind.
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }
}

void TConsoleIo::Write(FILE* stream, const QString& line) {
    const QByteArray bytes = line.toLocal8Bit();
    if (EditorInstalled) {
        // Wipe the prompt line, print, then draw the prompt and what was typed again.
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    if (EditorInstalled)
        rl_forced_update_display();
}

void TConsoleIo::PrintLine(const QString& line) {
    Write(stdout, line);
}

void TConsoleIo::PrintError(const QString& line) {
    Write(stderr, line);
}

void TConsoleIo::OnEditedLine(char* line) {
    // Handled from the event loop: a line may remove the editor, which must
    // not happen inside its own callback.
    TConsoleIo* self = EditorOwner;
    if (self)
        self->LineDelivered = true;
    if (!line) {
        if (self)
            QTimer::singleShot(0, self, [self] { emit self->EndOfInput(); });
        return;
    }
    if (*line)
        add_history(line);
    const QString text = QString::fromLocal8Bit(line);
    std::free(line);
    if (self)
        QTimer::singleShot(0, self, [self, text] {
            if (self->Running)
                emit self->LineRead(text);
        });
}

void TConsoleIo::OnReadable() {
    if (!Running)
        return;
    if (IsInteractive) {
        LineDelivered = false;
        rl_callback_read_char();
        // After a line libedit's state is not ready for the next one (stale
        // buffer, end of input not recognised): start afresh with a new prompt.
        if (LineDelivered && EditorInstalled) {
            rl_callback_handler_remove();
            rl_callback_handler_install(Prompt.constData(), &TConsoleIo::OnEditedLine);
        }
        return;
    }
    char buffer[65536];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        Notifier->setEnabled(false);
        TakeLines(true);
        if (Running)
            emit EndOfInput();
        return;
    }
    Pending.append(buffer, n);
    TakeLines(false);
}

void TConsoleIo::TakeLines(bool atEnd) {
    qsizetype start = 0;
    for (;;) {
        const qsizetype nl = Pending.indexOf('\n', start);
        if (nl < 0)
            break;
        const QString line = QString::fromLocal8Bit(Pending.mid(start, nl - start));
        start = nl + 1;
        emit LineRead(line);
        if (!Running) // a line may end the program
            return;
    }
    Pending.remove(0, start);
    if (atEnd && !Pending.isEmpty()) {
        const QString line = QString::fromLocal8Bit(Pending);
        Pending.clear();
        emit LineRead(line);
    }
}

QByteArray TConsoleIo::ReadFirstLine(bool interactive, QByteArray& rest) {
    return ReadLine("Password: ", interactive, rest);
}

QString TConsoleIo::ReadHidden(const QString& prompt) {
    const bool editor = EditorInstalled;
    if (editor) {
        rl_callback_handler_remove();
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }
    QByteArray rest;
    const QByteArray line = ReadLine(prompt.toLocal8Bit().constData(), IsInteractive, rest);
    // Read byte by byte on a terminal: nothing is left over.
    Pending.append(rest);
    if (editor)
        rl_callback_handler_install(Prompt.constData(), &TConsoleIo::OnEditedLine);
    return QString::fromLocal8Bit(line);
}

QByteArray TConsoleIo::ReadLine(const char* prompt, bool interactive, QByteArray& rest) {
    termios saved{};
    const bool hideEcho = interactive && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hideEcho) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        // The editor may have left the terminal raw.
        quiet.c_lflag |= static_cast<tcflag_t>(ICANON);
        quiet.c_iflag |= static_cast<tcflag_t>(ICRNL);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray data;
    qsizetype nl = -1;
    char buffer[4096];
    // On a terminal read byte by byte, so that nothing typed ahead is lost to libedit.
    const size_t chunk = interactive ? 1 : sizeof buffer;
    while ((nl = data.indexOf('\n')) < 0) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    if (hideEcho) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    QByteArray line = nl < 0 ? data : data.left(nl);
    rest = nl < 0 ? QByteArray() : data.mid(nl + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace kelvra
