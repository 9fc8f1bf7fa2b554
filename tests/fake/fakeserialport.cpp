#include "fakeserialport.h"

#include <QTimer>

bool FakeSerialPort::open(const PortChoice &choice)
{
    if (m_open && choice == m_choice)
        return true;
    close();
    beginOpen(choice);
    calls << QStringLiteral("open %1").arg(choice.number);
    if (!existingPorts.contains(choice.number))
        return failed(OpenFailure::NotFound, {});
    m_open = true;
    return true;
}

void FakeSerialPort::close()
{
    if (!m_open)
        return;
    calls << QStringLiteral("close %1").arg(m_choice.number);
    m_open = false;
    m_input.clear();
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

qint64 FakeSerialPort::readInto(QByteArray &buffer)
{
    buffer += m_input;
    return std::exchange(m_input, {}).size();
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
