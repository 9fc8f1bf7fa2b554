#include "trafficlog.h"

#include "commandset.h"
#include "indexerlink.h"

#include <QDateTime>
#include <utility>

TrafficLog::TrafficLog(IndexerLink &link, const QString &fileName, QObject *parent)
    : QObject(parent), m_file(fileName, kMaxBytes, kOldFiles)
{
    connect(&link, &IndexerLink::frameWritten, this, [this](const QByteArray &frame) {
        if (recording())
            log(u'>', VisibleControls(QString::fromLatin1(frame)));
    });
    connect(&link, &IndexerLink::transactionEnded, this,
            [this](const QString &, const IndexerLink::Reply &reply, qint64 micros) {
                if (!recording())
                    return;
                const QString taken = QStringLiteral("(%1 ms)").arg(micros / 1000.0, 0, 'f', 1);
                if (reply.timedOut)
                    log(u'!', VisibleControls(reply.text.mid(8)), taken); // after "Timeout "
                else
                    log(u'<', VisibleControls(reply.text), taken);
            });
}

void TrafficLog::log(QChar direction, const QString &bytes, const QString &tail)
{
    QString line =
        QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + u' ' + direction + u' ' + bytes;
    if (!tail.isEmpty())
        line += u' ' + tail;
    Q_EMIT lineLogged(line);
    if (!m_file.fileName().isEmpty())
        append(line.toUtf8() + '\n');
}

void TrafficLog::append(const QByteArray &line)
{
    // A failure never disturbs the link; said once until a line is written again.
    QString why;
    if (m_file.append(line, &why))
        m_failed = false;
    else if (!std::exchange(m_failed, true))
        Q_EMIT recordFailed(why);
}
