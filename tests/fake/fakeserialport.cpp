#include "fakeserialport.h"

#include <QTimer>

bool FakeSerialPort::setPortNumber(int portNumber)
{
    calls << QStringLiteral("select %1").arg(portNumber);
    if (m_open)
        return false;
    m_portNumber = portNumber;
    return true;
}

bool FakeSerialPort::open()
{
    calls << QStringLiteral("open %1").arg(m_portNumber);
    if (m_open || !existingPorts.contains(m_portNumber)) {
        m_failure = m_open ? OpenFailure::InUse : OpenFailure::NotFound;
        return false;
    }
    m_failure = OpenFailure::None;
    m_open = true;
    return true;
}

bool FakeSerialPort::close()
{
    calls << QStringLiteral("close %1").arg(m_portNumber);
    m_open = false;
    m_input.clear();
    return true;
}

void FakeSerialPort::setStalled(bool stalled)
{
    m_stalled = stalled;
    const QByteArrayList unsent = std::exchange(m_unsent, {});
    for (const QByteArray &data : unsent)
        write(data);
}

bool FakeSerialPort::write(const QByteArray &data)
{
    if (!m_open)
        return false;
    if (m_stalled) {
        m_unsent << data;
        return true;
    }
    written << data;
    if (m_replies.contains(data)) {
        const auto &[reply, delay] = m_replies.value(data);
        deliver(reply, delay);
    } else if (responder) {
        const QByteArray reply = responder(data);
        if (!reply.isEmpty())
            deliver(reply, replyDelayMs);
    }
    return true;
}

QByteArray FakeSerialPort::read(qint64 maxBytes)
{
    const QByteArray out = m_input.left(maxBytes);
    m_input.remove(0, out.size());
    return out;
}

void FakeSerialPort::deliver(const QByteArray &bytes, int delayMs)
{
    QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, bytes] {
        if (!m_open)
            return;
        m_input += bytes;
        Q_EMIT dataReceived();
    });
}

void FakeSerialPort::setReply(const QByteArray &frame, const QByteArray &reply, int delayMs)
{
    m_replies.insert(frame, {reply, delayMs});
}

QStringList FakeSerialPort::commands() const
{
    QStringList out;
    for (QByteArray frame : written) {
        if (frame.startsWith('$'))
            frame.remove(0, 1);
        if (frame.endsWith("\r\n"))
            frame.chop(2);
        out << QString::fromLatin1(frame);
    }
    return out;
}
