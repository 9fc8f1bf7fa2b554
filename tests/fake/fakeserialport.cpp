#include "fakeserialport.h"

#include <QHash>
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

void FakeSerialPort::actAsIndexer()
{
    responder = [this](const QByteArray &frame) -> QByteArray {
        const QByteArray command = frame.mid(1, frame.size() - 3);
        if (command == "B2")
            return {};
        if (command.startsWith('B') && command != "B?")
            at = command.mid(1).toInt();
        // clang-format off
        const QHash<QByteArray, QByteArray> replies = {{"B?", "B:" + QByteArray::number(at) + '\r'},
            {"D?", "D:R\r"}, {"C?", "C:4\r"}, {"A?", "A:1\r"}, {"I", QByteArray("I:\x05\xC8\r")}};
        // clang-format on
        return replies.value(command, "ok\r");
    };
}
