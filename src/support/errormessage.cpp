#include "errormessage.h"

#include <cstdio>

namespace
{

ErrorMessageHandler &handlerSlot()
{
    static ErrorMessageHandler handler;
    return handler;
}

ErrorMessageHandler &presenterSlot()
{
    static ErrorMessageHandler presenter;
    return presenter;
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
    if (const ErrorMessageHandler presenter = presenterSlot()) {
        presenter(title, text);
        return;
    }
    // Without windows (tools, console runs) the message is a line on stderr.
    const QByteArray line = (title + QStringLiteral(": ") + text + u'\n').toLocal8Bit();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}

void SetErrorMessagePresenter(ErrorMessageHandler presenter)
{
    presenterSlot() = std::move(presenter);
}

void SetErrorMessageHandler(ErrorMessageHandler handler)
{
    handlerSlot() = std::move(handler);
}
