// The Ethernet choice: the link over TCP to rv360-sim --tcp, to a bare listener and to Debian's
// ser2net in front of rv360-sim on a pty, and the setup dialog and start-up that use it. Only
// the loopback interface is used.
#include "commandset.h"
#include "controls.h"
#include "controlserver.h"
#include "freeport.h"
#include "frmComm.h"
#include "frmMain.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "simprocess.h"
#include "tcpport.h"
#include "testhome.h"
#include "transact.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <netinet/in.h>
#include <netinet/tcp.h>

class TestNetwork : public QObject
{
    Q_OBJECT

    TestHome home;
    std::unique_ptr<IndexerLink> link;

    // Chooses Ethernet at the endpoint: 1 connected, 0 not, -1 no answer at all.
    int choose(const QString &address, int tcpPort)
    {
        int opened = -1;
        link->selectPort(PortChoice::network(address, tcpPort), nullptr,
                         [&opened](bool ok) { opened = ok; });
        (void)QTest::qWaitFor([&] { return opened >= 0; }, 5000);
        return opened;
    }

private Q_SLOTS:
    void init() { link = std::make_unique<IndexerLink>(); }

    // A bare listener that answers the probe only. The port alone: a frame given while it
    // connects and then dropped never goes out, nor does a dropped byte come in, but a discard
    // while it connects leaves the probe's answer alone; once connected, keepalive is on (a dead
    // peer is found in seconds); a read of nothing is not the end of the connection, the far
    // end's close is. The link on it (named by
    // its endpoint), never answered: timeouts, the connection kept; but a timed-out frame that
    // the connection still holds (the far end takes nothing) goes with the connection, reset: it
    // never reaches the device server late.
    void bareListener()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        TcpPort tcp;
        tcp.setConnectTimeout(300);
        QPointer<QTcpSocket> far; // each connection's, its first frame (the probe) answered
        connect(&server, &QTcpServer::newConnection, this, [&server, &far, &tcp] {
            far = server.nextPendingConnection();
            connect( // the port told to discard while the answer waits for it
                far, &QTcpSocket::readyRead, far,
                [f = far.data(), &tcp] {
                    f->read(5), f->write("D:R\r"), f->flush(), tcp.discardInput();
                },
                Qt::SingleShotConnection);
        });
        const auto choice = PortChoice::network(QStringLiteral("127.0.0.1"), server.serverPort());
        tcp.open(choice); // closed again on the same turn: no connection is made
        tcp.close();
        QTest::qWait(50);
        QVERIFY(!far && tcp.open(choice) && tcp.isConnecting());
        tcp.write("$B6\r\n");
        tcp.discardOutput();
        QTRY_VERIFY(far && tcp.isOpen() && !tcp.isConnecting());
        int keepAlive = 0, idle = 0; // its socket's: the one at the far end's peer port
        for (int fd = 0; fd < 1024; ++fd) {
            sockaddr_in at{};
            socklen_t size = sizeof at;
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) == 0 &&
                at.sin_family == AF_INET && ntohs(at.sin_port) == far->peerPort()) {
                size = sizeof idle;
                ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size);
                ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
            }
        }
        QVERIFY(keepAlive && idle == TcpPort::kKeepIdleS);
        QTest::qWait(300); // kept past the connect time limit
        far->write("x");   // one stale byte, dropped
        QVERIFY(QSignalSpy(&tcp, &LinePort::dataReceived).wait());
        tcp.discardInput();
        QByteArray in;
        QCOMPARE(tcp.readInto(in), 0);
        tcp.write("$D?\r\n");
        QTRY_COMPARE(in += far->readAll(), QByteArray("$D?\r\n"));
        far->close();
        QTRY_VERIFY(tcp.readInto(in) == 0 && !tcp.isOpen());
        QCOMPARE(choose(QStringLiteral("127.0.0.1"), server.serverPort()), 1);
        QCOMPARE(link->port().choice().name(),
                 QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
        QVERIFY(transact(*link, QStringLiteral("D?")).timedOut);
        QVERIFY(far->state() == QAbstractSocket::ConnectedState && link->port().isOpen());
        far->setReadBufferSize(1); // takes nothing more: more than a window stays with the sender
        const QString command(1 << 20, u'x');
        QVERIFY(transact(*link, command).timedOut && !link->port().isOpen());
        far->setReadBufferSize(0);
        qint64 size = 0;
        QTRY_VERIFY(
            (size += far->readAll().size(), far->state() == QAbstractSocket::UnconnectedState));
        QVERIFY(size < command.size());
    }

    // A device server's greeting, however late and however spread, is never a reply: spread
    // over 220 ms (over once quiet for kGreetingQuietMs, well before kGreetingMaxMs), one that
    // never ends (cut off after kGreetingMaxMs), one that comes after the quiet time while the
    // probe waits (a line end first, as banners have). All three at once.
    void greetings()
    {
        enum { Spread, Endless, Late };
        QTcpServer servers[3];
        std::unique_ptr<IndexerLink> links[3];
        int opened[3] = {-1, -1, -1}; // 0: failed; else ms from the start
        QElapsedTimer clock;
        clock.start();
        for (const int kind : {Spread, Endless, Late}) {
            QTcpServer &server = servers[kind];
            QVERIFY(server.listen(QHostAddress::LocalHost));
            connect(&server, &QTcpServer::newConnection, this, [&server, kind] {
                QTcpSocket *far = server.nextPendingConnection();
                auto *chatter = new QTimer(far);
                connect(chatter, &QTimer::timeout, far, [far, kind] {
                    far->write(kind == Endless ? "~\r" : "\r\nser2net port\r\n");
                });
                chatter->setSingleShot(kind == Late);
                chatter->start(kind == Late ? 150 : 50);
                if (kind == Spread)
                    QTimer::singleShot(220, chatter, &QTimer::stop);
                connect(far, &QTcpSocket::readyRead, far, [far, chatter, kind] {
                    if (kind != Late)
                        chatter->stop();
                    // Answered 100 ms later, as through a slow network: after a late greeting.
                    const QByteArray got = far->readAll();
                    const char *answer = got.contains("$B?")   ? "B:4\r"
                                         : got.contains("$D?") ? "D:R\r"
                                                               : "";
                    QTimer::singleShot(100, far, [far, answer] { far->write(answer); });
                });
            });
            links[kind] = std::make_unique<IndexerLink>();
            links[kind]->selectPort(
                PortChoice::network("127.0.0.1", server.serverPort()), nullptr,
                [&, kind](bool ok) { opened[kind] = ok * int(clock.elapsed()); });
        }
        QTRY_VERIFY(opened[Spread] >= 0 && opened[Endless] >= 0 && opened[Late] >= 0);
        for (const int kind : {Spread, Endless, Late}) {
            QVERIFY(opened[kind] > 0 && (kind != Spread || opened[kind] < TcpPort::kGreetingMaxMs));
            QVERIFY(transact(*links[kind], QStringLiteral("B?")).text.endsWith(u"B:4\r"));
        }
    }

    // The simulator by host name; then a
    // server that takes nothing more (the kernel acknowledges, the device side is stalled): a move
    // times out, and the next is never written (no status query has been answered since), so once
    // the line drains the indexer's target is the first move's, or the one it had where the
    // timeout's discard reached the first, never the second's.
    void stalledServer()
    {
        SimProcess sim;
        QVERIFY(sim.startTcp());
        QCOMPARE(choose(QStringLiteral("localhost"), sim.tcpPort()), 1);
        QCOMPARE(transact(*link, QStringLiteral("@")).text,
                 QStringLiteral("@:RV-360 indexer simulator 1.0\r"));
        TestAuthority authority;
        link->setMotionAuthority(&authority);
        QVERIFY(sim.control(QStringLiteral("stall on")).startsWith(QLatin1String("ok")));
        QVERIFY(transact(*link, authority.move(3)).timedOut);
        QCOMPARE(transact(*link, authority.move(5)).unsent, IndexerLink::Unsent::Unproven);
        QVERIFY(sim.control(QStringLiteral("stall off")).startsWith(QLatin1String("ok")));
        QTest::qWait(300); // the line drains
        QVERIFY(!sim.control(QStringLiteral("state")).contains(QLatin1String("target=5")));
    }

    // Which addresses and ports the link will try at all; an endpoint that cannot be reached or
    // used fails to open, with the reason.
    void endpoints()
    {
        // clang-format off
        const std::tuple<QString, int, bool> usable[] = {
            {"127.0.0.1", 1, true}, {" lab-box.local. ", 65535, true}, {"::1", 2000, true},
            {"127.0.0.1", 0, false}, {"lab", 65536, false}, {"0.0.0.0", 80, false}, {"::", 80, false},
            {"", 80, false}, {"-lab", 80, false}, {"lab-", 80, false}, {"a_b", 80, false},
            {"1.2.3.4.5", 80, false}, {QString("a.").repeated(126) + "a", 80, true}, {QString("a.").repeated(127), 80, false}};
        // clang-format on
        for (const auto &[address, port, ok] : usable)
            QVERIFY2(UsableEndpoint(address, port) == ok, qPrintable(address));
        // clang-format off
        const std::tuple<QString, int, QString> unreachable[] = {
            {"127.0.0.1", freePort(), "connection refused"},
            {"rv360-test.invalid", 1001, "host not found"}, {"my host", 1, "no usable address and port"}};
        // clang-format on
        for (const auto &[address, tcpPort, why] : unreachable) {
            init();
            QCOMPARE(choose(address, tcpPort), 0);
            QCOMPARE(link->port().errorText(), why);
            QVERIFY(link->port().lastOpenFailure() != LinePort::OpenFailure::None);
        }
    }

    // Debian's ser2net, with a banner, in front of the simulator's pty: the poll goes through;
    // then behind a slow network, a script's layout read right after each reconnection.
    void throughSer2net()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--pace"}));
        const quint16 tcpPort = freePort();
        const QString config = home.dir.filePath(QStringLiteral("ser2net.yaml"));
        const char *yaml = "connection: &rv360\n  accepter: tcp,127.0.0.1,%1\n  connector: "
                           "serialdev,%2,19200n81,local\n  options:\n    kickolduser: true\n"
                           "    net-to-dev-bufsize: 16\n    banner: \"ser2net rv360\\r\\n\"\n";
        QVERIFY(ReplaceFileAtomically(
            config, QString(yaml).arg(QString::number(tcpPort), sim.linkPath()).toUtf8()));
        QProcess server;
        // Where Debian puts it.
        server.start("/usr/sbin/ser2net", {"-n", "-u", "-c", config, "-P", config + ".pid"});
        QVERIFY2(server.waitForStarted(5000), "ser2net is installed by the README's test command");
        QTRY_COMPARE(choose(QStringLiteral("127.0.0.1"), tcpPort), 1); // once it listens
        // CR LF line ends at the real baud, the server sending the LF on its own: the poll's pair
        // of queries, queued at once as the window queues them, each reply read as its own.
        QVERIFY(sim.control("crlf split").startsWith("ok"));
        for (int poll = 0; poll < 5; ++poll) {
            QStringList got;
            for (const QString &query : {Indexer::kQueryPocket, Indexer::kQueryMotion})
                link->SendCommand(query, link.get(),
                                  [&got](const IndexerLink::Reply &r) { got << r.text; });
            QTRY_COMPARE(got.size(), 2);
            QVERIFY2(Indexer::pocketOrSpeed(got[0]) == 1 && Indexer::motionState(got[1]),
                     qPrintable(VisibleControls(got.join(u'|'))));
        }
        // A network of 60 ms each way in front of ser2net, connected to it 90 ms after its
        // client: the banner comes about 150 ms after the connection.
        QTcpServer slow;
        QVERIFY(slow.listen(QHostAddress::LocalHost));
        connect(&slow, &QTcpServer::newConnection, this, [&slow, tcpPort] {
            QTcpSocket *client = slow.nextPendingConnection();
            auto *server = new QTcpSocket(client);
            for (auto [from, into] : {std::pair{client, server}, {server, client}})
                connect(from, &QTcpSocket::readyRead, into, [from, into] {
                    QTimer::singleShot(60, into,
                                       [into, bytes = from->readAll()] { into->write(bytes); });
                });
            QTimer::singleShot(90, server,
                               [server, tcpPort] { server->connectToHost("127.0.0.1", tcpPort); });
        });
        QCOMPARE(choose(QStringLiteral("127.0.0.1"), slow.serverPort()), 1);
        link->setReopenInterval(0); // reopened at the script's first request
        MotionSupervisor motion(*link);
        ControlServer scripts(motion);
        const QString socket = home.dir.filePath(QStringLiteral("rv360.sock"));
        QString why;
        QVERIFY2(scripts.listen(socket, &why), qPrintable(why));
        for (int run = 0; run < 5; ++run) { // a script's layout read right after a reconnection
            qDeleteAll(slow.findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly));
            QTRY_VERIFY(!link->port().isOpen());
            QProcess ctl;
            ctl.start(qEnvironmentVariable("RV360CTL"), {"--socket", socket, "layout", "read"});
            QTRY_VERIFY_WITH_TIMEOUT(ctl.state() == QProcess::NotRunning, 20000);
            const QByteArray out = ctl.readAllStandardOutput();
            QVERIFY2(ctl.exitCode() == 0 && out.contains("2, 1, 121"),
                     out + ctl.readAllStandardError());
        }
        server.terminate();
        QVERIFY(server.waitForFinished(5000));
    }

    // The setup dialog: Ethernet with an address and port typed, Find over TCP; malformed
    // entries send nothing; a server that never answers the probe fails to open, saying so. The
    // settings keep the endpoint, and the next start polls through it.
    void dialogAndStartUp()
    {
        LoadSettings();
        SimProcess sim;
        QVERIFY(sim.startTcp());
        auto first = std::make_unique<frmMain>(); // opened from the window, its choice taken there
        control<QPushButton>(first.get(), "cmdComm")->click();
        frmComm *dialog = frmComm::instance();
        control<QRadioButton>(dialog, "optCommPort_5")->click();
        // clang-format off
        const std::tuple<QString, QString, QString> wrong[] = {
            {"127.0.0.1", "70000", "Ethernet: the port must be a number from 1 to 65535"}, {"127.0.0.1", "0", "Ethernet: the port must be a number from 1 to 65535"},
            {"300.1.2.3", "1001", "Ethernet: \"300.1.2.3\" is no address or host name"}};
        // clang-format on
        const auto find = [dialog](const QString &address, const QString &tcpPort) {
            control<QLineEdit>(dialog, "txtHostAddress")->setText(address);
            control<QLineEdit>(dialog, "txtHostPort")->setText(tcpPort);
            control<QPushButton>(dialog, "cmdFind")->click();
        };
        for (const auto &[address, tcpPort, why] : wrong) {
            find(address, tcpPort);
            QCOMPARE(control<QLabel>(dialog, "lblPortError")->text(), why);
            QVERIFY(!first->link().isBusy()); // nothing sent, no port chosen
        }
        QTcpServer silent; // takes the connection, never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        find(QStringLiteral("127.0.0.1"), QString::number(silent.serverPort()));
        QTRY_COMPARE(control<QLabel>(dialog, "lblPortError")->text(), // the probe unanswered
                     QStringLiteral("Ethernet (127.0.0.1:%1): no answer to D? within 1 s (not an "
                                    "RV-360 indexer?)")
                         .arg(silent.serverPort()));
        // Only the port changes: connected again, to the simulator.
        find(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()));
        QTRY_COMPARE(control<QLineEdit>(dialog, "txtRcv")->text(),
                     QStringLiteral("@:RV-360 indexer simulator 1.0\\r"));
        QCOMPARE(control<QLabel>(dialog, "lblPortError")->text(), QString());
        control<QPushButton>(dialog, "cmdOK")->click();
        QCOMPARE(frmComm::instance(), nullptr); // gone at once, not when deleted
        SaveSettings();                         // the next start polls through what it keeps
        first.reset();
        frmMain window;
        window.show();
        window.Form_Load();
        QTRY_COMPARE(control<QLabel>(&window, "lblPocket")->text(), QStringLiteral("1"));
        QCOMPARE(frmComm::instance(), nullptr);
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
