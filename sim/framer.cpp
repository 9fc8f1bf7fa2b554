#include "framer.h"

QList<Framer::Frame> Framer::feed(QByteArrayView bytes)
{
    QList<Frame> frames;
    for (const char byte : bytes) {
        // "$" always starts a new frame, so the reader resynchronises after any garbage. The
        // buffer is replaced here, never cleared: outside a frame nothing reads it.
        if (byte == '$') {
            m_buffer = QByteArray(1, byte);
            m_inFrame = true;
        } else if (m_inFrame) {
            m_buffer.append(byte);
            if (byte == '\r') {
                frames.append({m_buffer, false});
                m_inFrame = false;
            } else if (m_buffer.size() >= MaxFrame) {
                // No room left for the CR: the frame is dropped and the rest of it skipped, as
                // any byte outside a frame is.
                frames.append({m_buffer.left(32), true});
                m_inFrame = false;
            }
        }
    }
    return frames;
}
