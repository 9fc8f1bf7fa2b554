#include "framer.h"

QList<Framer::Frame> Framer::feed(QByteArrayView bytes)
{
    QList<Frame> frames;
    for (const char byte : bytes) {
        // "$" always starts a new frame, so the reader resynchronises after any garbage. The
        // buffer is replaced here, never cleared: outside a frame nothing reads it.
        if (byte == '$') {
            m_buffer = QByteArray(1, byte);
            m_state = State::InFrame;
            continue;
        }
        switch (m_state) {
        case State::Hunting:
            break;
        case State::InFrame:
            m_buffer.append(byte);
            if (byte == '\r') {
                frames.append({m_buffer, false});
                m_state = State::Hunting;
            } else if (m_buffer.size() >= MaxFrame) {
                // No room left for the CR: drop the frame and skip the rest of it.
                frames.append({m_buffer.left(32), true});
                m_state = State::Discarding;
            }
            break;
        case State::Discarding:
            if (byte == '\r')
                m_state = State::Hunting;
            break;
        }
    }
    return frames;
}
