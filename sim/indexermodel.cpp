#include "indexermodel.h"

#include <algorithm>

namespace
{

const QByteArray ErrorReply = "?:ERR";
const QByteArray Identification = "@:RV-360 indexer simulator 1.0";

bool digitIn(char c, int low, int high)
{
    return c >= '0' + low && c <= '0' + high;
}

QByteArray reply(char command, const QByteArray &data)
{
    return QByteArray(1, command) + ':' + data;
}

QByteArray ok(char command)
{
    return reply(command, "OK");
}

} // namespace

IndexerModel::IndexerModel(Options options) : m_options(options)
{
    m_options.moveMs = std::max(0, m_options.moveMs);
    m_layout[0] = {0, 0};
    m_layout[1] = {1, 120};
    m_layout[2] = {2, 240};
}

int IndexerModel::stepsDone(qint64 nowMs) const
{
    if (!m_moving || m_options.moveMs == 0)
        return m_steps;
    return int(
        std::min<qint64>(m_steps, std::max<qint64>(0, nowMs - m_startMs) / m_options.moveMs));
}

int IndexerModel::pocketAt(qint64 nowMs) const
{
    if (!m_moving)
        return m_pocket;
    const int zeroBased = (m_pocket - 1 + m_direction * stepsDone(nowMs)) % PocketCount;
    return (zeroBased + PocketCount) % PocketCount + 1;
}

int IndexerModel::targetAt(qint64 nowMs) const
{
    return movingAt(nowMs) ? m_target : pocketAt(nowMs);
}

bool IndexerModel::movingAt(qint64 nowMs) const
{
    return m_moving && stepsDone(nowMs) < m_steps;
}

void IndexerModel::settle(qint64 nowMs)
{
    if (m_moving && !movingAt(nowMs)) {
        m_pocket = m_target;
        m_moving = false;
    }
}

void IndexerModel::moveTo(int target, qint64 nowMs)
{
    // A new target while moving starts from the pocket being passed.
    m_pocket = pocketAt(nowMs);
    m_moving = false;
    const int forward = (target - m_pocket + PocketCount) % PocketCount;
    if (forward == 0)
        return;
    // The shorter way round; half a turn goes forward.
    m_direction = forward <= PocketCount / 2 ? 1 : -1;
    m_steps = forward <= PocketCount / 2 ? forward : PocketCount - forward;
    m_target = target;
    m_startMs = nowMs;
    m_moving = true;
}

void IndexerModel::setSwitches(quint8 front, quint8 rear)
{
    m_front = front;
    m_rear = rear;
}

void IndexerModel::setPocket(int pocket)
{
    m_pocket = std::clamp(pocket, 1, PocketCount);
    m_target = m_pocket;
    m_moving = false;
}

QByteArray IndexerModel::stateLine(qint64 nowMs) const
{
    return "state pocket=" + QByteArray::number(pocketAt(nowMs)) +
           " target=" + QByteArray::number(targetAt(nowMs)) +
           " moving=" + (movingAt(nowMs) ? "1" : "0") + " speed=" + QByteArray::number(m_speed) +
           " control=" + QByteArray::number(m_control) + " count=" + QByteArray::number(m_count) +
           " switches=" + QByteArray::number(m_front) + ',' + QByteArray::number(m_rear);
}

QByteArray IndexerModel::handle(QByteArrayView command, qint64 nowMs)
{
    settle(nowMs);
    if (command.isEmpty())
        return ErrorReply;
    const char c = command[0];
    const qsizetype n = command.size();

    if (command == "@")
        return Identification;
    if (command == "I")
        return reply('I', QByteArray(1, char(m_front)) + char(m_rear));
    if (n == 2 && command[1] == '?') {
        switch (c) {
        case 'A':
            return reply(c, QByteArray::number(m_control));
        case 'B': {
            const bool moving = movingAt(nowMs);
            return reply(c, QByteArray::number(moving && m_options.reportTarget ? m_target
                                                                                : pocketAt(nowMs)));
        }
        case 'C':
            return reply(c, QByteArray::number(m_speed));
        case 'D': {
            const char status = movingAt(nowMs) ? 'M' : 'R';
            return reply(c, QByteArray(1, m_lowercase ? char(status - 'A' + 'a') : status));
        }
        case 'F':
            return reply(c, QByteArray::number(m_count));
        default:
            return ErrorReply;
        }
    }
    if (n == 2) {
        const char value = command[1];
        switch (c) {
        case 'A':
            if (!digitIn(value, 0, 1))
                return ErrorReply;
            m_control = value - '0';
            return ok(c);
        case 'B':
            if (!digitIn(value, 1, PocketCount))
                return ErrorReply;
            moveTo(value - '0', nowMs);
            return ok(c);
        case 'C':
            if (!digitIn(value, 1, 8))
                return ErrorReply;
            m_speed = value - '0';
            return ok(c);
        case 'F':
            if (!digitIn(value, 0, PocketCount))
                return ErrorReply;
            m_count = value - '0';
            return ok(c);
        default:
            break;
        }
    }
    if (c == 'G')
        return handlePocketCommand(command);
    return ErrorReply;
}

// "G<k>?" queries pocket k; "G<k> <type> <position>" stores it (position of 1 to 3 digits).
QByteArray IndexerModel::handlePocketCommand(QByteArrayView command)
{
    const qsizetype n = command.size();
    if (n < 3 || !digitIn(command[1], 1, PocketCount))
        return ErrorReply;
    Pocket &pocket = m_layout[command[1] - '1'];
    if (n == 3 && command[2] == '?')
        return reply('G',
                     QByteArray::number(pocket.type) + ' ' + QByteArray::number(pocket.position));
    if (n < 6 || n > 8 || command[2] != ' ' || !digitIn(command[3], 0, 3) || command[4] != ' ')
        return ErrorReply;
    int position = 0;
    for (qsizetype i = 5; i < n; ++i) {
        if (!digitIn(command[i], 0, 9))
            return ErrorReply;
        position = position * 10 + (command[i] - '0');
    }
    if (position > 359)
        return ErrorReply;
    pocket = {command[3] - '0', position};
    return ok('G');
}
