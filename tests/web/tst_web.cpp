// The web listener with a real HTTP client against a fake indexer: every route and method, the
// page's escaping, and the metrics after a move.
#include "fakeserialport.h"
#include "freeport.h"
#include "webserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTest>

namespace
{

// A fake indexer at pocket 3 whose moves arrive at once, its supervisor (pocket 3 named
// <b>&") and the listener on a free loopback port.
struct Rig {
    FakeSerialPort line;
    IndexerLink link{line};
    MotionSupervisor motion{link};
    WebServer web{motion, link};
    QNetworkAccessManager client;
    Rig()
    {
        line.open(PortChoice::serial(1));
        line.actAsIndexer();
        motion.setWatchMs(50, 150);
        motion.setNames(
            {QString(), {}, QStringLiteral("<b>&\""), {}, QStringLiteral("Ti"), {}, {}, {}});
        QString why;
        QVERIFY2(web.listen(QHostAddress::LocalHost, freePort(), &why), qPrintable(why));
        motion.refresh(nullptr, [] {});
        QVERIFY(QTest::qWaitFor([this] { return !link.isBusy(); }));
    }
    QByteArray get(const QString &path) { return std::get<2>(fetch("GET", path)); }
    // The status code, the content type and the body.
    std::tuple<int, QByteArray, QByteArray> fetch(const QByteArray &method, const QString &path)
    {
        const QNetworkRequest request(QUrl(web.url() + path.mid(1)));
        std::unique_ptr<QNetworkReply> reply(
            method == "HEAD"
                ? client.head(request)
                : client.sendCustomRequest(request, method, method == "GET" ? "" : "pocket=5"));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000))
            return {};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(), reply->readAll()};
    }
};

} // namespace

class TestWeb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each path's status and type for GET; HEAD is the same without a body, and the methods
    // that would change something are refused on a known path.
    void routes()
    {
        Rig rig;
        // clang-format off
        const struct { const char *path; int get; const char *type; } rows[] = {
            {"/", 200, "text/html; charset=utf-8"}, {"/status.json", 200, "application/json"},
            {"/moves.csv?n=3", 200, "text/csv; charset=utf-8"}, {"/moves.csv", 200, "text/csv; charset=utf-8"},
            {"/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"}, {"/nope", 404, "text/plain; charset=utf-8"},
            {"/moves.csv?n=0", 400, "text/plain; charset=utf-8"}, {"/moves.csv?n=1001", 400, "text/plain; charset=utf-8"},
            {"/moves.csv?n=x", 400, "text/plain; charset=utf-8"},
        };
        // clang-format on
        for (const auto &row : rows) {
            for (const QByteArray method : {"GET", "HEAD", "POST", "PUT", "DELETE"}) {
                const auto [status, type, body] = rig.fetch(method, row.path);
                const bool reads = method == "GET" || method == "HEAD";
                const QByteArray what = method + ' ' + row.path;
                QVERIFY2(status == (reads || row.get == 404 ? row.get : 405), what);
                QVERIFY2(!reads || type == row.type, what + ": " + type);
                QVERIFY2((method == "HEAD") == body.isEmpty(), what);
            }
        }
        QCOMPARE(rig.get("/moves.csv?n=3"), QByteArray(MotionSupervisor::kRecordHeader) + '\n');
        // A port already taken: refused, and why.
        QString why;
        QVERIFY(
            !WebServer(rig.motion, rig.link).listen(QHostAddress::LocalHost, rig.web.port(), &why));
        QVERIFY2(why.contains(QLatin1String("in use")), qPrintable(why));
        // HEAD's answer ends with its headers: the next answer on the connection follows them.
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, rig.web.port());
        raw.write("HEAD / HTTP/1.1\r\nHost: a\r\n\r\nGET /nope HTTP/1.1\r\nHost: a\r\n\r\n");
        QTRY_VERIFY(raw.peek(1 << 16).count("HTTP/1.1 ") == 2);
        QVERIFY(raw.readAll().contains("\r\n\r\nHTTP/1.1 404 Not Found\r\n"));
        // A body far larger than any request is not taken in: the connection closes unanswered.
        raw.write("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 9999999\r\n\r\n" +
                  QByteArray(WebServer::kMaxUnanswered, 'x'));
        QTRY_COMPARE(raw.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(raw.readAll().isEmpty());
    }

    // A name that is markup is text on the page and the name in the JSON; a move shows in the
    // pocket, the counters and the record, on the page too (its source quoted in the record).
    void pageAndMetrics()
    {
        Rig rig;
        const QByteArray page = rig.get("/");
        QVERIFY(page.contains("<td>3</td><td>&lt;b&gt;&amp;&quot;</td>"));
        QVERIFY(!page.contains("<b>&\""));
        const QJsonObject status = QJsonDocument::fromJson(rig.get("/status.json")).object();
        QCOMPARE(status.value("name").toString(), "<b>&\"");
        QCOMPARE(status, rig.motion.view().toJson());
        rig.motion.move(5, QStringLiteral("a \"w\", b"), nullptr, [](const auto &) {});
        QTRY_VERIFY(rig.motion.view().pocket == 5 && !rig.motion.moving());
        const QByteArray metrics = rig.get("/metrics"),
                         ok = QByteArray::number(rig.line.commands().size());
        for (const QByteArray &line : QByteArrayList{
                 "rv360_pocket 5", "rv360_moves_total{result=\"arrived\"} 1", "rv360_link_up 1",
                 "rv360_moves_total{result=\"failed\"} 0", "rv360_moving 0",
                 "rv360_transactions_total{result=\"timeout\"} 0",
                 "rv360_transactions_total{result=\"ok\"} " + ok,
                 "rv360_transaction_duration_seconds_count " + ok, "_bucket{le=\"+Inf\"} " + ok})
            QVERIFY2(metrics.contains(line + '\n'), line);
        const QList<QByteArray> csv = rig.get("/moves.csv?n=3").split('\n');
        QCOMPARE(csv.size(), 3); // header, the move, the last newline
        QVERIFY2(csv[1].contains(",\"a \"\"w\"\", b\",3,5 Ti,arrived,"), csv[1]);
        QVERIFY(rig.get("/").contains("<td>5 Ti</td><td>arrived</td><td>a &quot;w&quot;, b</td>"));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
