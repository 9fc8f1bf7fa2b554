#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Splits the received byte stream into command frames: "$", text, then CR (an LF after it is
// ignored like any byte outside a frame). Memory stays bounded whatever arrives.
class Framer
{
public:
    // Longest frame kept, counting "$" and the CR.
    static constexpr qsizetype MaxFrame = 256;

    struct Frame {
        QByteArray raw;         // as received, from "$" through the CR (or the first bytes kept)
        bool oversized = false; // the frame grew past MaxFrame and was dropped
        QByteArray command() const { return oversized ? QByteArray() : raw.mid(1, raw.size() - 2); }
    };

    QList<Frame> feed(QByteArrayView bytes);

private:
    bool m_inFrame = false;
    QByteArray m_buffer;
};
