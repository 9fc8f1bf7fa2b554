#pragma once

#include "errormessage.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Collects the error messages shown while it lives, so that no modal box ever opens in a test.
struct MessageCapture {
    struct Message {
        QString title;
        QString text;
    };
    MessageCapture()
    {
        SetErrorMessageHandler([this](const QString &title, const QString &text) {
            messages.append({title, text});
        });
    }
    ~MessageCapture() { SetErrorMessageHandler({}); }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QList<Message> messages;
};

// Byte arrays from literals that hold NUL bytes.
template <qsizetype N> QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

inline QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeFileContents(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}
