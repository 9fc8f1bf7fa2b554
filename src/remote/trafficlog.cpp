#include "trafficlog.h"

#include "commandset.h"
#include "indexerlink.h"

#include <QDateTime>

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
    // A failed write is ignored: the record never disturbs the link.
    if (m_file.append(line) == RecordFile::Result::Stopped && !m_stopped) {
        m_stopped = true;
        qWarning("rv360: %s could not be rotated: the traffic record stops here",
                 qPrintable(m_file.fileName()));
    }
}
