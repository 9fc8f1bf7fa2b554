#include "errormessage.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <new>

namespace
{

ErrorMessageHandler &handlerSlot()
{
    static ErrorMessageHandler handler;
    return handler;
}

} // namespace

QString ErrorMessageText(int number, const QString &description)
{
    return QStringLiteral("Error: ") + QString::number(number) + QStringLiteral(". ") + description;
}

void ShowErrorMessage(const QString &title, int number, const QString &description)
{
    const QString text = ErrorMessageText(number, description);
    // A copy, so that a handler may replace itself while it runs.
    if (const ErrorMessageHandler handler = handlerSlot()) {
        handler(title, text);
        return;
    }
    // A box needs a widget application; tools and console runs get the line on stderr.
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr) {
        const QByteArray line = (title + QStringLiteral(": ") + text + u'\n').toLocal8Bit();
        std::fputs(line.constData(), stderr);
        std::fflush(stderr);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok);
    box.exec();
}

void SetErrorMessageHandler(ErrorMessageHandler handler)
{
    handlerSlot() = std::move(handler);
}

void ShowCurrentExceptionMessage(const QString &title)
{
    if (!std::current_exception()) {
        ShowErrorMessage(title, ErrorNumber::InternalError, QStringLiteral("Internal error"));
        return;
    }
    try {
        throw;
    } catch (const std::bad_alloc &) {
        ShowErrorMessage(title, ErrorNumber::OutOfMemory, QStringLiteral("Out of memory"));
    } catch (const std::exception &e) {
        ShowErrorMessage(title, ErrorNumber::InternalError,
                         QStringLiteral("Internal error: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorMessage(title, ErrorNumber::InternalError, QStringLiteral("Internal error"));
    }
}
