#include "indexerlink.h"

#include "commport.h"
#include "serialport.h"
#include "settings.h"

#include <QEventLoop>

namespace
{
const QString kTimeoutPrefix = QStringLiteral("Timeout ");
}

IndexerLink::IndexerLink(SerialPort &port, QObject *parent) : QObject(parent), m_port(port)
{
    m_tmrComm.setInterval(kTimeoutMs);
    m_tmrComm.setSingleShot(true);
    m_tmrComm.setTimerType(Qt::PreciseTimer);
    connect(&m_tmrComm, &QTimer::timeout, this, &IndexerLink::tmrComm_Timer);
    connect(&m_port, &SerialPort::dataReceived, this, &IndexerLink::MSComm1_OnComm);
    connect(&m_port, &SerialPort::deviceLost, this, [this] { m_deviceLost = true; });
}

IndexerLink::~IndexerLink()
{
    shutdown();
}

QString IndexerLink::SendCommand(const QString &sCommand)
{
    return Transact(sCommand).text;
}

IndexerLink::Reply IndexerLink::Transact(const QString &sCommand)
{
    if (m_shutDown)
        return {kTimeoutPrefix, true};
    Request request;
    request.command = sCommand;
    m_queue.push_back(&request);
    if (!m_current)
        startNext();
    if (!request.done) {
        QEventLoop loop;
        request.loop = &loop;
        loop.exec();
        request.loop = nullptr;
        // The loop ends early only when the application quits: end everything that waits.
        if (!request.done)
            shutdown();
    }
    return request.result;
}

void IndexerLink::startNext()
{
    if (m_queue.empty())
        return;
    m_current = m_queue.front();
    m_queue.pop_front();

    m_frame = QLatin1Char('$') + m_current->command + QLatin1String("\r\n");
    m_reply.clear();
    reopenLostDevice();
    m_port.discardInput();
    m_state = Waiting;
    Q_EMIT linkStatusChanged(QStringLiteral("Busy"));
    // The timeout runs from just before the write.
    m_tmrComm.start();
    if (CommPort < 5)
        m_port.write(m_frame.toLatin1());
}

void IndexerLink::finishCurrent(State how)
{
    Request *request = m_current;
    m_current = nullptr;
    m_tmrComm.stop();
    if (how == Idle) {
        Q_EMIT linkStatusChanged(QStringLiteral("Ready"));
        request->result = {m_reply, false};
    } else {
        Q_EMIT linkStatusChanged(QStringLiteral("Timeout"));
        request->result = {kTimeoutPrefix + m_reply, true};
    }
    m_state = Idle;
    request->done = true;
    if (request->loop)
        request->loop->quit();
    // The result is fixed for its caller; a waiting request may now reset the reply.
    startNext();
}

void IndexerLink::MSComm1_OnComm()
{
    const QByteArray data = m_port.read(m_port.bytesAvailable());
    if (data.isEmpty() || !m_current)
        return; // nobody waits: nothing is kept
    const qsizetype room = kMaxReplyLength - m_reply.size();
    if (room > 0)
        m_reply += QString::fromLatin1(data.left(room));
    if (data.contains('\r') && m_state == Waiting)
        finishCurrent(Idle);
}

void IndexerLink::tmrComm_Timer()
{
    if (m_state == Waiting && m_current) {
        m_state = TimedOut;
        finishCurrent(TimedOut);
    }
}

void IndexerLink::reopenLostDevice()
{
    if (!m_deviceLost || m_port.isOpen() || CommPort >= 5)
        return;
    if (m_lastReopen.isValid() && m_lastReopen.elapsed() < kReopenIntervalMs)
        return;
    m_lastReopen.start();
    if (OpenCommPort(m_port, CommPort))
        m_deviceLost = false;
}

void IndexerLink::shutdown()
{
    m_shutDown = true;
    m_tmrComm.stop();
    auto end = [this](Request *request) {
        request->result = {kTimeoutPrefix + m_reply, true};
        request->done = true;
        if (request->loop)
            request->loop->quit();
    };
    if (m_current)
        end(m_current);
    m_current = nullptr;
    for (Request *request : m_queue)
        end(request);
    m_queue.clear();
    m_state = Idle;
}
