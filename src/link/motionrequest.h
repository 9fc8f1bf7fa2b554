#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

class MotionAuthority;

// A move to a pocket or a sweep speed change: the only way motion reaches the line. Only a
// motion authority (the supervisor) makes one; it carries the authority's own check, which the
// link asks again just before it writes the request, so that a request that no longer stands
// (moves inhibited since, replaced, its lease withdrawn) is never written.
class MotionRequest
{
public:
    // A move to a pocket or a sweep speed change, each with a value from 1 to 8.
    enum class Kind : quint8 { Move, Speed };

    // "B" + pocket or "C" + speed, as framed on the line.
    QString command() const;
    const MotionAuthority *maker() const { return m_maker; }
    // Empty while the request stands, else why it does not.
    QString standing() const { return m_standing(); }

private:
    friend class MotionAuthority;
    MotionRequest(const MotionAuthority *maker, Kind kind, int value,
                  std::function<QString()> standing)
        : m_maker(maker), m_kind(kind), m_value(value), m_standing(std::move(standing))
    {
    }

    const MotionAuthority *m_maker;
    Kind m_kind;
    int m_value;
    std::function<QString()> m_standing;
};

// What may make motion requests. The link writes only the requests of the authority installed
// on it (IndexerLink::setMotionAuthority), and none while there is none.
class MotionAuthority
{
protected:
    MotionAuthority() = default;
    ~MotionAuthority() = default;
    MotionRequest makeRequest(MotionRequest::Kind kind, int value,
                              std::function<QString()> standing) const
    {
        return {this, kind, value, std::move(standing)};
    }
};
