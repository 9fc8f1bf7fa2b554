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
    return m_open = true;
}

void FakeSerialPort::close()
{
    if (m_open)
        calls << QStringLiteral("close %1").arg(m_choice.number);
    m_open = false;
    m_input.clear();
}

void FakeSerialPort::write(const QByteArray &data)
{
    if (!m_open)
        return;
    written << data;
    if (const QByteArray reply = responder ? responder(data) : ""; !reply.isEmpty())
        deliver(reply, replyDelayMs);
}

qint64 FakeSerialPort::readInto(QByteArray &buffer)
{
    buffer += m_input;
    return std::exchange(m_input, {}).size();
}

void FakeSerialPort::deliver(const QByteArray &bytes, int delayMs)
{
    QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, bytes] {
        if (m_open) {
            m_input += bytes;
            Q_EMIT dataReceived();
        }
    });
}

QStringList FakeSerialPort::commands() const
{
    QStringList out;
    for (const QByteArray &frame : written)
        out << QString::fromLatin1(frame.mid(1, frame.size() - 3)); // "$" ... CR LF
    return out;
}
