#include "webserver.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <memory>

// Lets in the peers of the allow-list; any other is closed before the HTTP server sees it.
class WebServer::Listener : public QTcpServer
{
public:
    Listener(const AllowList &allowed, QObject *parent) : QTcpServer(parent), m_allowed(allowed) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (socket->setSocketDescriptor(descriptor) && m_allowed.allows(socket->peerAddress())) {
            // Requests here are small: bytes that go on coming with no answer (a body, headers
            // that never end) close the connection, so that a peer cannot fill the memory.
            auto unanswered = std::make_shared<qint64>(0);
            connect(socket, &QIODevice::readyRead, socket, [socket, unanswered] {
                if ((*unanswered += socket->bytesAvailable()) > kMaxUnanswered)
                    socket->abort();
            });
            connect(socket, &QIODevice::bytesWritten, socket, [unanswered] { *unanswered = 0; });
            return addPendingConnection(socket);
        }
        socket->abort();
        socket->deleteLater();
    }

private:
    const AllowList &m_allowed;
};

namespace
{

QByteArray gauge(const char *name, const char *help, double value)
{
    return QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name +
           ' ' + QByteArray::number(value, 'g', 15) + '\n';
}

} // namespace

WebServer::WebServer(MotionSupervisor &motion, IndexerLink &link, QObject *parent)
    : QAbstractHttpServer(parent), m_motion(motion),
      m_started(QDateTime::currentMSecsSinceEpoch() / 1000.0)
{
    m_listener = new Listener(m_allowed, this);
    // Every result a move can end with, so that a dashboard sees them before the first.
    for (const char *state :
         {"arrived", "failed", "late", "replaced", "inhibited", "refused", "external", "unknown"})
        m_moves[QString::fromLatin1(state)] = 0;
    connect(&motion, &MotionSupervisor::moveEvent, this, [this](const auto &event) {
        if (event.state != QLatin1String("started"))
            ++m_moves[event.state];
    });
    connect(&link, &IndexerLink::transactionEnded, this,
            [this](const QString &, const IndexerLink::Reply &reply, qint64 micros) {
                onTransaction(reply, micros);
            });
}

WebServer::~WebServer() = default;

bool WebServer::listen(const QHostAddress &address, quint16 port, QString *why)
{
    // "[::]" is every interface, IPv4 as well: Qt's AnyIPv6 alone would be IPv6 only.
    const bool every =
        address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion);
    if (!m_listener->listen(every ? QHostAddress(QHostAddress::Any) : address, port)) {
        *why = m_listener->errorString();
        return false;
    }
    bind(m_listener);
    m_url = QStringLiteral("http://%1/").arg(HostAndPort(address, m_listener->serverPort()));
    return true;
}

quint16 WebServer::port() const
{
    return m_listener->serverPort();
}

void WebServer::stopListening()
{
    m_listener->close();
    m_url.clear();
}

void WebServer::onTransaction(const IndexerLink::Reply &reply, qint64 micros)
{
    ++(reply.timedOut ? m_timeouts : m_ok);
    const double seconds = micros / 1e6;
    m_seconds += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        m_buckets[i] += seconds <= kBuckets[i];
}

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    using Method = QHttpServerRequest::Method;
    const Method method = request.method();
    Answer answer = this->answer(request.url().path(), request.query());
    const bool readOnly = method == Method::Get || method == Method::Head;
    if (answer.status != 404 && !readOnly)
        answer = {405, "text/plain; charset=utf-8", "Read only: GET and HEAD\n"};
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(answer.status));
    responder.writeHeader("Content-Type", answer.type);
    responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    if (answer.status == 405)
        responder.writeHeader("Allow", "GET, HEAD");
    responder.writeBody(method == Method::Head ? QByteArray() : answer.body);
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

WebServer::Answer WebServer::answer(const QString &path, const QUrlQuery &query) const
{
    if (path == QLatin1String("/"))
        return {200, "text/html; charset=utf-8", page()};
    if (path == QLatin1String("/status.json"))
        return {200, "application/json",
                QJsonDocument(m_motion.view().toJson()).toJson(QJsonDocument::Compact) + '\n'};
    if (path == QLatin1String("/moves.csv"))
        return moves(query);
    if (path == QLatin1String("/metrics"))
        return {200, "text/plain; version=0.0.4; charset=utf-8", metrics()};
    return {404, "text/plain; charset=utf-8", "Not found\n"};
}

WebServer::Answer WebServer::moves(const QUrlQuery &query) const
{
    bool whole = true;
    const QString n = query.queryItemValue(QStringLiteral("n"));
    const int count = query.hasQueryItem(QStringLiteral("n")) ? n.toInt(&whole) : kPageMoves;
    if (!whole || count < 1 || count > kMaxMoves)
        return {400, "text/plain; charset=utf-8",
                QByteArray("n is a whole number from 1 to ") + QByteArray::number(kMaxMoves) +
                    '\n'};
    return {200, "text/csv; charset=utf-8", m_motion.history(count).join(u'\n').toUtf8() + '\n'};
}

QByteArray WebServer::metrics() const
{
    const MotionSupervisor::View view = m_motion.view();
    QByteArray text =
        gauge("rv360_pocket", "The pocket at the working position (0: unknown).",
              view.pocket.value_or(0)) +
        gauge("rv360_moving", "1 while the indexer reports the turntable moving.",
              view.state == QLatin1String("moving")) +
        gauge("rv360_link_up", "1 while the indexer answers the status queries.", view.answering) +
        gauge("rv360_alarm", "1 while a failed move's alarm is not acknowledged.",
              !view.alarm.isEmpty()) +
        gauge("rv360_inhibited", "1 while moves are inhibited.", view.inhibit.has_value()) +
        gauge("rv360_remote_held", "1 while a remote client holds control.",
              !view.remoteHolder.isEmpty());
    text += "# HELP rv360_moves_total Moves ended, by result.\n"
            "# TYPE rv360_moves_total counter\n";
    for (auto it = m_moves.cbegin(); it != m_moves.cend(); ++it)
        text += "rv360_moves_total{result=\"" + it.key().toUtf8() + "\"} " +
                QByteArray::number(it.value()) + '\n';
    text += "# HELP rv360_transactions_total Commands written to the indexer, by result.\n"
            "# TYPE rv360_transactions_total counter\n"
            "rv360_transactions_total{result=\"ok\"} " +
            QByteArray::number(m_ok) + "\nrv360_transactions_total{result=\"timeout\"} " +
            QByteArray::number(m_timeouts) + '\n';
    const char *const duration = "rv360_transaction_duration_seconds";
    text += QByteArray("# HELP ") + duration +
            " Time from a command's write to its reply or timeout.\n# TYPE " + duration +
            " histogram\n";
    for (size_t i = 0; i < kBuckets.size(); ++i)
        text += QByteArray(duration) + "_bucket{le=\"" + QByteArray::number(kBuckets[i]) + "\"} " +
                QByteArray::number(m_buckets[i]) + '\n';
    const QByteArray count = QByteArray::number(m_ok + m_timeouts);
    text += QByteArray(duration) + "_bucket{le=\"+Inf\"} " + count + '\n' + duration + "_sum " +
            QByteArray::number(m_seconds, 'g', 15) + '\n' + duration + "_count " + count + '\n';
    return text + gauge("rv360_start_time_seconds",
                        "When the program started, in seconds since the epoch.", m_started);
}
