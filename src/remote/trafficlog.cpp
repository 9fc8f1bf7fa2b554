#include "trafficlog.h"

#include "commandset.h"
#include "indexerlink.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

TrafficLog::TrafficLog(IndexerLink &link, const QString &fileName, QObject *parent)
    : QObject(parent), m_fileName(fileName)
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
    if (!m_fileName.isEmpty())
        append(line.toUtf8() + '\n');
}

void TrafficLog::append(const QByteArray &line)
{
    // Rotated before the line that would pass the cap; every failure is ignored, and a FIFO or
    // device in its place is never opened (that could block the link).
    const QFileInfo info(m_fileName);
    if (info.exists() && !info.isFile())
        return;
    if (info.size() + line.size() > kMaxBytes) {
        QFile::remove(m_fileName + QStringLiteral(".%1").arg(kOldFiles));
        for (int n = kOldFiles - 1; n >= 1; --n)
            QFile::rename(m_fileName + QStringLiteral(".%1").arg(n),
                          m_fileName + QStringLiteral(".%1").arg(n + 1));
        QFile::rename(m_fileName, m_fileName + QStringLiteral(".1"));
    }
    QFile file(m_fileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line);
}
