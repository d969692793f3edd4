#pragma once
// Shared pieces of the console tests: a private settings folder per test, and
// a script that answers the modal windows the code under test opens.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <gtest/gtest.h>

namespace kelvra::test {

// Runs the event loop until pred() holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Every test gets its own empty settings store.
class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("XDG_CONFIG_HOME", Dir.path().toLocal8Bit());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, Dir.path());
        qApp->setQuitOnLastWindowClosed(false);
    }

    QString SettingsFolder() const { return Dir.path() + QStringLiteral("/Dravenholt"); }
    QString SettingsFile() const {
        return SettingsFolder() + QStringLiteral("/Kelvra Chat Server.conf");
    }
    void Store(const QString& key, const QString& value) {
        QSettings s(SettingsFile(), QSettings::IniFormat);
        s.setValue(key, value);
        s.sync();
    }
    QString Stored(const QString& key) const {
        return QSettings(SettingsFile(), QSettings::IniFormat).value(key).toString();
    }
    bool HasStored(const QString& key) const {
        return QSettings(SettingsFile(), QSettings::IniFormat).contains(key);
    }
    QStringList StoredKeys(const QString& group) const {
        QSettings s(SettingsFile(), QSettings::IniFormat);
        s.beginGroup(group);
        return s.childKeys();
    }

    QTemporaryDir Dir;
};

// What a message box showed.
struct SeenBox {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
};

// Answers modal windows in order, one step per window. A step returns false
// when the window is not the one it expects (yet). A window still open after
// the time limit is closed, so a test fails instead of hanging.
class ModalScript : public QObject {
public:
    using Step = std::function<bool(QWidget*)>;

    explicit ModalScript(int timeoutMs = 10000) : TimeoutMs(timeoutMs) {
        connect(&Poll, &QTimer::timeout, this, &ModalScript::Tick);
        Poll.start(10);
        Clock.start();
    }
    ~ModalScript() override { EXPECT_TRUE(Steps.empty()) << Steps.size() << " step(s) not run"; }

    ModalScript& Then(Step step) {
        Steps.push_back(std::move(step));
        return *this;
    }
    template <class W> ModalScript& ThenOn(std::function<void(W*)> act) {
        return Then([act](QWidget* w) {
            auto* typed = qobject_cast<W*>(w);
            if (!typed)
                return false;
            act(typed);
            return true;
        });
    }
    // Records a message box and presses one of its buttons.
    ModalScript& ThenBox(SeenBox* seen, QMessageBox::StandardButton press = QMessageBox::Ok) {
        return ThenOn<QMessageBox>([seen, press](QMessageBox* box) {
            if (seen)
                *seen = {box->windowTitle(), box->text(), box->icon()};
            box->button(press)->click();
        });
    }
    bool TimedOut() const { return Expired; }

private:
    void Tick() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w->property("kelvraAnswered").toBool())
            return;
        if (Clock.elapsed() > TimeoutMs) {
            Expired = true;
            w->setProperty("kelvraAnswered", true);
            if (auto* d = qobject_cast<QDialog*>(w))
                d->reject();
            else
                w->close();
            return;
        }
        if (Steps.empty() || !Steps.front()(w))
            return;
        w->setProperty("kelvraAnswered", true);
        Steps.pop_front();
    }

    std::deque<Step> Steps;
    QTimer Poll;
    QElapsedTimer Clock;
    int TimeoutMs;
    bool Expired = false;
};

} // namespace kelvra::test
