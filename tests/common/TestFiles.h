#pragma once
// Whole-file reads and writes for the tests of the files the server keeps.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <gtest/gtest.h>

namespace kelvra::test {

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void WriteAll(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

} // namespace kelvra::test
