#pragma once

#include "allowlist.h"
#include "motionsupervisor.h"

#include <QAbstractHttpServer>
#include <QMap>
#include <array>
#include <functional>

class QUrlQuery;

// The read-only web page and the Prometheus metrics: the supervisor's view, its record and the
// link's transactions over HTTP. Nothing it serves can change anything: GET and HEAD only. Peers
// outside the allow-list are closed as they connect, before a byte is read.
class WebServer : public QAbstractHttpServer
{
    Q_OBJECT
public:
    // Lines of the record /moves.csv gives at most, and the page shows.
    static constexpr int kMaxMoves = MotionSupervisor::kHistoryLines;
    static constexpr int kPageMoves = 10;
    // Bytes a connection may send with no answer between (a request is far smaller).
    static constexpr qint64 kMaxUnanswered = 64 * 1024;
    // The transaction duration histogram's upper bounds, in seconds (the line times out at 0.2).
    static constexpr std::array<double, 9> kBuckets = {0.005, 0.01, 0.02, 0.05, 0.1,
                                                       0.15,  0.2,  0.25, 0.5};
    // A pocket as the page lists it.
    struct Pocket {
        QString type;
        int degrees = 0;
        QString name;
    };
    using Layout = std::function<QList<Pocket>()>;

    WebServer(MotionSupervisor &motion, IndexerLink &link, QObject *parent = nullptr);
    ~WebServer() override;

    // As the instrument port's: addresses and CIDR ranges, empty for loopback only.
    bool setAllowed(const QString &list, QString *why) { return m_allowed.set(list, why); }
    // "::" listens on IPv4 and IPv6 both ("0.0.0.0" on IPv4 only).
    bool listen(const QHostAddress &address, quint16 port, QString *why);
    quint16 port() const;
    // "http://127.0.0.1:8080/" while it listens, else empty.
    const QString &url() const { return m_url; }
    void stopListening();
    // The pockets' types and degrees for the page; without it the page lists the names only.
    void setLayout(Layout layout) { m_layout = std::move(layout); }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    class Listener;
    struct Answer {
        int status = 200;
        QByteArray type;
        QByteArray body;
    };

    Answer answer(const QString &path, const QUrlQuery &query) const;
    Answer moves(const QUrlQuery &query) const;
    QByteArray page() const;
    QByteArray metrics() const;
    void onTransaction(const IndexerLink::Reply &reply, qint64 micros);

    MotionSupervisor &m_motion;
    AllowList m_allowed;
    Listener *m_listener = nullptr;
    QString m_url;
    Layout m_layout;
    double m_started = 0;
    QMap<QString, quint64> m_moves;
    quint64 m_ok = 0, m_timeouts = 0;
    std::array<quint64, kBuckets.size()> m_buckets{};
    double m_seconds = 0;
};
