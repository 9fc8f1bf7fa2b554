// The caps of a line server, each row run against both of its users: the control socket (a
// local socket) and the instrument port (TCP). A client over a cap is closed, told why where
// its protocol says so, and the others go on.
#include "controlserver.h"
#include "fakeserialport.h"
#include "instrumentport.h"
#include "motionsupervisor.h"
#include "testhome.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace
{

// One user of the line server, listening, with what tells its caps apart.
struct User {
    const char *name;
    qsizetype maxLine;
    int maxWaiting, maxClients;
    // A line answered at once, how its answer begins, and lines whose answer is long.
    QByteArray quick, answer, bulky;
};
const User kUsers[] = {
    {"control socket", ControlServer::kMaxLine, ControlServer::kMaxWaiting,
     ControlServer::kMaxClients, "[]", R"({"code":"bad_request")",
     R"({"cmd":")" + QByteArray(60000, 'x') + "\"}"},
    {"instrument port", InstrumentPort::kMaxLine, InstrumentPort::kMaxWaiting,
     InstrumentPort::kMaxClients, "*IDN?", "RV360,",
     QByteArray("POCK \"" + QByteArray(4000, 'x') + "\"\nSYST:ERR?\n").repeated(10)}};

struct Rig {
    TestHome home;
    FakeSerialPort line;
    IndexerLink link{line};
    MotionSupervisor motion{link};
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<InstrumentPort> instrument;
    std::unique_ptr<QSignalSpy> notices;
    Rig(bool local)
    {
        line.open(PortChoice::serial(1));
        QString why;
        if (local) {
            control = std::make_unique<ControlServer>(motion);
            control->listen(home.dir.filePath(QStringLiteral("s")), &why);
        } else {
            instrument = std::make_unique<InstrumentPort>(motion);
            instrument->listen(QHostAddress(QHostAddress::LocalHost), 0, &why);
            notices = std::make_unique<QSignalSpy>(instrument.get(), &InstrumentPort::notice);
        }
    }
    // A client connected, its socket either kind.
    std::unique_ptr<QIODevice> connect() const
    {
        if (control) {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(control->socketPath());
            return socket;
        }
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), instrument->port());
        socket->waitForConnected(3000);
        return socket;
    }
    // What the server said of the clients it closed: its notices, or a client's last line.
    QString said(QIODevice &client) const
    {
        if (notices)
            return notices->isEmpty() ? QString() : notices->last().value(0).toString();
        return QString::fromUtf8(client.readAll().trimmed().split('\n').last());
    }
};

bool connected(QIODevice &socket)
{
    if (auto *local = qobject_cast<QLocalSocket *>(&socket))
        return local->state() != QLocalSocket::UnconnectedState;
    return static_cast<QAbstractSocket &>(socket).state() != QAbstractSocket::UnconnectedState;
}

bool closed(QIODevice &socket)
{
    return QTest::qWaitFor([&socket] { return !connected(socket); }, 5000);
}

// The quick line sent and its answer read, within 3 s.
bool served(QIODevice &socket, const User &user)
{
    socket.write(user.quick + '\n');
    return QTest::qWaitFor([&] { return socket.canReadLine() || !connected(socket); }, 3000) &&
           socket.canReadLine() && socket.readLine().startsWith(user.answer);
}

} // namespace

class TestLineServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void caps()
    {
        // What a client does, and what the server says as it closes it (the control socket's
        // last line, the instrument port's notice); none: served, not closed.
        enum Flood { LongLine, LongEndedLine, Ahead, AtTheCap, Unread, TooMany };
        // clang-format off
        const struct { Flood flood; const char *control, *instrument; } rows[] = {
            {LongLine, "line over 64 KiB", "127.0.0.1 closed: a line over 4 KiB"},
            {LongEndedLine, "line over 64 KiB", "127.0.0.1 closed: a line over 4 KiB"},
            {Ahead, "too many requests ahead", "127.0.0.1 closed: over 64 lines ahead"},
            {AtTheCap, nullptr, nullptr},
            {Unread, "", "127.0.0.1 closed: over 1 MiB of replies unread"},
            {TooMany, "too many clients", "127.0.0.1 refused: 4 clients already"},
        };
        // clang-format on
        for (const auto &row : rows) {
            for (const User &user : kUsers) {
                const QByteArray what = QByteArray(user.name) + " " + QByteArray::number(row.flood);
                Rig rig(user.name == kUsers[0].name);
                const auto other = rig.connect();
                std::vector<std::unique_ptr<QIODevice>> more;
                auto client = rig.connect();
                const QByteArray quick = user.quick + '\n';
                switch (row.flood) {
                case LongLine:
                case LongEndedLine:
                    client->write(QByteArray(user.maxLine + 1, 'x') + (row.flood ? "\n" : ""));
                    break;
                case Ahead: // blank lines are not requests
                    client->write(quick.repeated(user.maxWaiting + 1) + "\n\n");
                    break;
                case AtTheCap: // answered in a loop, not a recursion
                    client->write(quick.repeated(user.maxWaiting) + " \r\n");
                    for (int i = 0; i < user.maxWaiting; ++i)
                        QVERIFY2(QTest::qWaitFor([&] { return client->canReadLine(); }, 3000) &&
                                     client->readLine().startsWith(user.answer),
                                 what);
                    break;
                case Unread: // a client that takes one byte at a time
                    if (auto *local = qobject_cast<QLocalSocket *>(client.get()))
                        local->setReadBufferSize(1);
                    else
                        static_cast<QAbstractSocket &>(*client).setReadBufferSize(1);
                    for (int i = 0; i < 200 && connected(*client); ++i) {
                        client->write(user.bulky + '\n');
                        QTest::qWait(2);
                    }
                    break;
                case TooMany:
                    for (int i = 2; i < user.maxClients; ++i) {
                        more.push_back(rig.connect());
                        QVERIFY2(served(*more.back(), user), what);
                    }
                    more.push_back(rig.connect());
                    break;
                }
                QIODevice &last = row.flood == TooMany ? *more.back() : *client;
                const char *said = rig.control ? row.control : row.instrument;
                QVERIFY2(said ? closed(last) : connected(last), what);
                const QString told = said ? rig.said(last) : QString();
                QVERIFY2(told.contains(QLatin1String(said)), qPrintable(what + ": " + told));
                // The others go on; a place set free is taken again.
                QVERIFY2(served(*other, user), what);
                if (row.flood == TooMany) {
                    more.front().reset();
                    QTRY_VERIFY2(served(*rig.connect(), user), what);
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestLineServer)
#include "tst_lineserver.moc"
