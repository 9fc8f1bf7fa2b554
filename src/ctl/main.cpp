// rv360ctl: the indexer from scripts, through the running rv360 (its control socket) or, with
// --device, on a serial device of its own. Exit status: 0 done; 1 the indexer did not answer,
// refused, a move did not arrive in time, or the output was closed; 2 bad usage or argument;
// 3 nothing to talk to, the running program lost, or a socket served by another user.
#include "arguments.h"
#include "errormessage.h"
#include "output.h"
#include "quitsignals.h"
#include "request.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    QCoreApplication app(argc, argv);
    Ctl::Options o;
    QJsonObject request;
    if (const std::optional<int> status = Ctl::readCommandLine(app.arguments(), o, request))
        return *status;
    SetErrorMessageHandler([](const QString &title, const QString &text) {
        Ctl::err(title + QStringLiteral(": ") + text);
    });
    Ctl::Session session(o);
    QTimer::singleShot(0, &session, [&session, &request] { session.start(request); });
    return app.exec();
}
