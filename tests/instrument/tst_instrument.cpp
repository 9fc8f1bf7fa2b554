// The instrument port with real TCP clients against a fake indexer: lines and their replies or
// queued errors, and who may connect and who may change the indexer.
#include "fakeserialport.h"
#include "instrumentport.h"
#include "instrumentsettings.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "testhome.h"
#include "webserver.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace
{

// A client, from a source address of its own.
struct Peer {
    QTcpSocket socket;
    Peer(quint16 port, const QString &from)
    {
        socket.bind(QHostAddress(from));
        socket.connectToHost(QHostAddress(from.contains(u':') ? QHostAddress::LocalHostIPv6
                                                              : QHostAddress::LocalHost),
                             port);
    }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    // The next line, waiting up to 4 s; empty when none comes.
    QString next()
    {
        return QTest::qWaitFor([this] { return socket.canReadLine(); }, 4000)
                   ? QString::fromLatin1(socket.readLine()).trimmed()
                   : QString();
    }
    bool closed()
    {
        return QTest::qWaitFor(
            [this] { return socket.state() == QAbstractSocket::UnconnectedState; }, 3000);
    }
    // Its error queue, oldest first, read to the end.
    QStringList errors()
    {
        QStringList errors;
        for (int i = 0; i < 20; ++i) {
            send("SYST:ERR?");
            const QString error = next();
            if (error == QLatin1String("0,\"No error\"") || error.isEmpty())
                break;
            errors << error;
        }
        return errors;
    }
};

// A fake indexer (at pocket 3, ready; a move to 2 goes unanswered, any other arrives at once),
// its link, the supervisor (its view read once, as the window's poll would) and the port
// listening on a free loopback port.
struct Rig {
    FakeSerialPort line;
    IndexerLink link{line};
    MotionSupervisor motion{link};
    std::unique_ptr<InstrumentPort> port;
    Rig()
    {
        line.open(PortChoice::serial(1));
        line.actAsIndexer();
        motion.setTimeLimitMs(500);
        motion.setWatchMs(50, 150);
        motion.setNames(
            {QString(), {}, QStringLiteral("Au"), {}, QStringLiteral("Ti"), {}, {}, {}});
        port = std::make_unique<InstrumentPort>(motion);
        QString why;
        port->listen(QHostAddress(QHostAddress::LocalHost), 0, &why);
        refresh();
    }
    void refresh()
    {
        motion.refresh(nullptr, [] {});
        QVERIFY(QTest::qWaitFor([this] { return !link.isBusy(); }));
    }
    // The commands that changed something, in order.
    QString changes() const
    {
        QStringList changes = line.commands();
        changes.removeIf([](const QString &c) { return c.endsWith(u'?') || c == u'I'; });
        return changes.join(u' ');
    }
};

// The peers A, B, ... connect from these.
const char *const kFrom[] = {"127.0.0.2", "127.0.0.3",       "127.0.0.5", "127.0.0.6",
                             "127.0.0.7", "127.255.255.254", "::1"};

void webToo(Rig &rig, const char *allowList, const QStringList &steps)
{
    WebServer web(rig.motion, rig.link);
    QString why;
    QVERIFY(web.setAllowed(QString::fromLatin1(allowList), &why));
    QVERIFY(web.listen(QHostAddress(steps.contains("[::]") ? "::" : "127.0.0.1"), 0, &why));
    for (const QString &step : steps) {
        if (!step[0].isUpper())
            continue;
        Peer peer(web.port(), QString::fromLatin1(kFrom[step[0].unicode() - 'A']));
        peer.socket.write("GET /status.json HTTP/1.1\r\nHost: rv360\r\n\r\n");
        const bool refused = step.endsWith(QLatin1String("refused"));
        QVERIFY2(refused ? peer.closed() && peer.socket.readAll().isEmpty()
                         : peer.next() == QLatin1String("HTTP/1.1 200 OK"),
                 qPrintable("web " + step));
    }
}

} // namespace

class TestInstrument : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCoreApplication::setApplicationVersion(QStringLiteral("1.2.3")); }

    // Each row's lines from one client that holds remote control when its first line takes it:
    // the replies, then the errors queued, and the changes that reached the indexer.
    void lines()
    {
        const QString idn = QStringLiteral("RV360,crucible indexer,0,1.2.3");
        const QString many = QStringLiteral("-113,\"Undefined header\"");
        // clang-format off
        const struct { QStringList lines; QStringList replies; QStringList errors; const char *changes; } rows[] = {
            {{"POCK?", "pocket?", ":POCK:NAME?", "MOV?", "STAT?", "INH?", "*OPC?", "POCK:NAME:ALL?", "SYST:REM?", "STAT:TEXT?"},
             {"3", "3", "\"Au\"", "0", "READY", "0", "1", "\"\",\"\",\"Au\",\"\",\"Ti\",\"\",\"\",\"\"", "1,\"\"", "\"\""}, {}, ""},
            {{"SPE?", "CONT?", "sw? front", "SW? REAR"}, {"4", "COMM", "05", "C8"}, {}, ""},
            {{"DANCE", "POCK:FOO?", "*PSC 1", "POCK 1,"}, {}, {many, many, many, "-102,\"Syntax error;empty parameter\""}, ""},
            // The status registers: each error sets its class's bit, reading *ESR? clears it.
            {{"DANCE", "*ESR?", "*ESR?", "*STB?", "*ESE 36", "*ESE?", "*SRE 255", "*SRE?", "X", "*STB?", "POCK 9", "*ESR?", "*ESE 256", "*TST?"},
             {"32", "0", "4", "36", "191", "100", "48", "0"}, {many, many, "-222,\"Data out of range\"", "-222,\"Data out of range\""}, ""},
            // *RST gives back control and clears the registers, and moves nothing.
            {{"SYST:REM", "POCK 5", "*OPC?", "*ESE 1", "*SRE 32", "X", "*RST", "*ESR?", "*ESE?", "*SRE?", "*STB?", "POCK 4", "POCK?"},
             {"1", "0", "0", "0", "0", "5"}, {"-221,\"Settings conflict;local control\""}, "B5"},
            // *OPC sets operation complete when the move ends; *WAI holds the next line till then.
            {{"SYST:REM", "POCK 5", "*OPC", "*ESR?", "*WAI", "*ESR?", "MOV?", "*OPC", "*ESR?", "*WAI", "*OPC?"}, {"0", "1", "0", "1", "1"}, {}, "B5"},
            {{"SYST:REM", "POCK 9", "POCK 2.5", "SPE 0", "POCK abc", "POCK", "POCK? 5", "INH MAYBE", "INH OFF,1"}, {},
             {"-222,\"Data out of range\"", "-222,\"Data out of range\"", "-222,\"Data out of range\"",
              "-104,\"Data type error\"", "-109,\"Missing parameter\"", "-108,\"Parameter not allowed\"",
              "-224,\"Illegal parameter value;ON or OFF\"", "-108,\"Parameter not allowed\""}, ""},
            {{"SYST:REM", "POCK \"Ag\"", "POCK \"Au", "SW? SIDE", "INH ON", "INH ON,HV"}, {},
             {"-224,\"Illegal parameter value;no pocket named Ag\"", "-102,\"Syntax error;string not closed\"",
              "-224,\"Illegal parameter value;FRONT or REAR\"", "-109,\"Missing parameter;a reason\"",
              "-224,\"Illegal parameter value;a reason of 1 to 200 characters, quoted\""}, ""},
            // Without remote control nothing changes; queries go on.
            {{"POCK 5", "SPE 2", "CONT IO", "INH OFF", "POCK?"}, {"3"}, QStringList(4, "-221,\"Settings conflict;local control\""), ""},
            // A move by name, and *OPC? answered once it has arrived.
            {{"SYST:REM", "syst:rem?", "POCK 'ti'", "*OPC?", "POCK?", "POCK:NAME?", "MOV?", "SPE 2", "CONT IO"}, {"1,\"127.0.0.1\"", "1", "5", "\"Ti\"", "0"}, {}, "B5 C2 A0"},
            {{"SYST:REM", "pocket 5", "MOV?", "STAT?", "STAT:TEXT?"}, {"1", "MOVING", "\"Moving to 5 Ti (remote)\""}, {}, "B5"},
            // A move that does not arrive: *OPC? still answers, and says why in the queue.
            {{"SYST:REM", "POCK 2", "*OPC?", "STAT?", "STAT:TEXT?"}, {"1", "ALARM", "\"Pocket 2 not reached in 0.5 s: at 3, ready\""},
             {"-240,\"Hardware error;indexer did not answer\"", "-200,\"Execution error;pocket 2 not reached in 0.5 s: at 3, ready\""}, "B2"},
            {{"SYST:REM", "INH ON,\"HV \"\"on\"\"\"", "INH?", "STAT?", "STAT:TEXT?", "POCK 5", "SPE 1", "INH OFF", "INH?"},
             {"1,\"HV \"\"on\"\"\"", "INHIBITED", "\"Moves inhibited: HV \"\"on\"\" (remote)\"", "0"},
             QStringList(2, "-221,\"Settings conflict;moves inhibited: HV \"\"on\"\"\""), ""},
            // The queue keeps its oldest errors, its last place says some were lost, *CLS empties it.
            {QStringList(20, "X?") << "*ESR?", {"40"}, QStringList(15, many) << "-350,\"Queue overflow\"", ""},
            {{"X?", "*CLS", "X"}, {}, {many}, ""},
        };
        // clang-format on
        // All rows at once, each on a rig of its own; then each row's answers read.
        std::vector<std::pair<std::unique_ptr<Rig>, std::unique_ptr<Peer>>> rigs;
        for (const auto &row : rows) {
            auto &[rig, peer] = rigs.emplace_back(std::make_unique<Rig>(), nullptr);
            peer = std::make_unique<Peer>(rig->port->port(), QStringLiteral("127.0.0.1"));
            rig->motion.setRemoteAllowed(true);
            for (const QString &line : row.lines)
                peer->send(line.toLatin1() + "\r");
            peer->send("*IDN?");
        }
        for (const auto &row : rows) {
            auto &[rig, peer] = rigs[&row - rows];
            QStringList replies;
            for (QString reply = peer->next(); reply != idn && !reply.isEmpty();
                 reply = peer->next())
                replies << reply;
            QCOMPARE(replies, row.replies);
            QCOMPARE(peer->errors(), row.errors);
            QCOMPARE(rig->changes(), QString::fromLatin1(row.changes));
        }
    }

    // Who may connect and who may change the indexer: clients A to F from 127.0.0.2, .3, .5, .6,
    // .7 and 127.255.255.254, G from ::1. A step is a client's line and its reply (none: the next
    // SYST:ERR?'s; "...": read by a later "X reads"), "X refused" or "X closed", "X quits",
    // "X connects", "X holds" bytes that end no line, the operator's "allow" and "local",
    // "dialog" (the setup dialog opens), "web" (the row's peers again against the web page's
    // listener with the same allow-list: answered, or closed before any answer), "slow" (the line
    // is busy with a slow reply), "[::]" (the port listens there instead), "limits P I" (the
    // unfinished line's and the silent client's, in ms), "wait" ms, or what the port "said".
    void access()
    {
        const QString none = QStringLiteral("0,\"No error\"");
        // clang-format off
        const struct { const char *allowList; QStringList steps; const char *changes; } rows[] = {
            {"127.0.0.2", {"A POCK? = 3", "B refused", "web"}, ""},
            {"127.0.0.0/30, ::1", {"A POCK? = 3", "B POCK? = 3", "C refused", "web"}, ""},
            {"::ffff:127.0.0.2, 127.0.0.3/32", {"A POCK? = 3", "B POCK? = 3", "C refused", "web"}, ""},
            {"::/0", {"[::]", "G POCK? = 3", "A refused", "web"}, ""}, {"", {"[::]", "A POCK? = 3", "G POCK? = 3", "web"}, ""},
            {"::ffff:127.0.0.0/104", {"[::]", "A POCK? = 3", "F POCK? = 3", "G refused", "web"}, ""},
            {"::ffff:0:0/96", {"[::]", "E POCK? = 3", "G refused"}, ""},
            {"", {"C POCK? = 3", "A SYST:REM = -221,\"Settings conflict;remote control not allowed\""}, ""},
            {"", {"allow", "A SYST:REM = " + none, "B SYST:REM = -221,\"Settings conflict;remote control held by 127.0.0.2\"",
                  "B POCK 5 = -221,\"Settings conflict;local control\"", "A POCK 5 = " + none}, "B5"},
            // Local: a holder that goes on commanding has not noticed, even once remote control is
            // allowed again, and is closed; one that gives control back is kept.
            {"", {"allow", "A SYST:REM = " + none, "local", "A POCK? = 3", "allow", "A POCK 5 = ...", "A closed",
                  "said 127.0.0.2 closed: a change sent after the operator took control back", "B SYST:REM = " + none}, ""},
            {"", {"allow", "A SYST:REM = " + none, "local", "A SYST:LOC = " + none, "A POCK 5 = -221,\"Settings conflict;local control\""}, ""},
            // Four clients that hold a place: lines left unfinished are closed; a silent one gives
            // its place to a newcomer, unless it holds control; a line ended restarts the clock.
            {"", {"limits 200 0", "A holds *ID", "B holds *ID", "C holds *ID", "D holds *ID", "E refused", "wait 300",
                  "A closed", "said 127.0.0.6 closed: a line left unfinished for 200 ms", "F POCK? = 3"}, ""},
            {"", {"limits 0 200", "A connects", "B connects", "C connects", "D connects", "A holds \n \n", "E refused", "wait 300",
                  "F POCK? = 3", "A closed", "said 127.0.0.2 closed: silent for 200 ms while another client waited", "B POCK? = 3"}, ""},
            {"", {"limits 0 200", "allow", "A SYST:REM = " + none, "B connects", "C connects", "D connects", "wait 300",
                  "E POCK? = 3", "B closed", "A POCK 5 = " + none}, "B5"},
            {"", {"limits 300 0", "A holds  ", "wait 200", "A holds \n ", "wait 200", "A holds \n", "A POCK? = 3"}, ""},
            {"", {"allow", "A SYST:REM = " + none, "A SYST:LOC = " + none, "B SYST:REM = " + none}, ""},
            // A move replaced while another client waits: *OPC? answers once the newer one ends.
            {"", {"allow", "A SYST:REM = " + none, "A POCK 2 = -240,\"Hardware error;indexer did not answer\"",
                  "B POCK? = 3", "B *OPC? = ...", "A POCK 5 = -200,\"Execution error;replaced by a move to 5\"", "B reads 1",
                  "B MOV? = 0"}, "B2 B5"},
            {"", {"allow", "A SYST:REM = " + none, "A quits", "B SYST:REM = " + none, "B POCK 4 = " + none}, "B4"},
            {"", {"A POCK? = 3", "B POCK? = 3", "C POCK? = 3", "F POCK? = 3", "E refused"}, ""},
            {"", {"allow", "A SYST:REM = " + none, "dialog", "A CONT IO = -221,\"Settings conflict;setup dialog open\"",
                  "A POCK 5 = -221,\"Settings conflict;setup dialog open\""}, ""},
            // Control taken back while the move waits for the line: it is never written.
            {"", {"allow", "A SYST:REM = " + none, "slow", "A POCK 5 = ...", "local",
                  "A SYST:ERR? = -221,\"Settings conflict;remote control taken back by the operator\""}, ""},
        };
        // clang-format on
        for (const auto &row : rows) {
            Rig rig;
            QString why;
            QVERIFY(rig.port->setAllowed(QString::fromLatin1(row.allowList), &why));
            QSignalSpy said(rig.port.get(), &InstrumentPort::notice);
            std::map<QChar, std::unique_ptr<Peer>> peers;
            const auto peer = [&](QChar who) -> Peer & {
                auto &p = peers[who];
                if (!p)
                    p = std::make_unique<Peer>(rig.port->port(), kFrom[who.unicode() - 'A']);
                return *p;
            };
            for (const QString &step : row.steps) {
                // The operator's and the line's steps are single words.
                if (step == QLatin1String("allow") || step == QLatin1String("local"))
                    rig.motion.setRemoteAllowed(step == QLatin1String("allow"));
                else if (step == QLatin1String("web"))
                    webToo(rig, row.allowList, row.steps);
                else if (step == QLatin1String("dialog"))
                    rig.motion.setRefusal([] { return QStringLiteral("setup dialog open"); });
                else if (step == QLatin1String("slow"))
                    rig.line.replyDelayMs = 150, rig.link.SendCommand(QStringLiteral("A?"));
                else if (step == QLatin1String("[::]"))
                    rig.port->stopListening(), rig.port->listen(QHostAddress("::"), 0, &why);
                else if (step.startsWith(QLatin1String("limits ")))
                    rig.port->setLimits({InstrumentPort::kMaxClients, InstrumentPort::kMaxLine,
                                         InstrumentPort::kMaxWaiting, InstrumentPort::kMaxUnread,
                                         step.section(u' ', 1, 1).toInt(),
                                         step.section(u' ', 2, 2).toInt()});
                else if (step.startsWith(QLatin1String("wait ")))
                    QTest::qWait(step.mid(5).toInt());
                else if (step.startsWith(QLatin1String("said ")))
                    QCOMPARE(said.last().value(0).toString(), step.mid(5));
                if (step[0].isLower() || !step.contains(u' '))
                    continue;
                Peer &client = peer(step[0]);
                const QString action = step.mid(2).section(QStringLiteral(" = "), 0, 0);
                if (action == QLatin1String("refused") || action == QLatin1String("closed")) {
                    QVERIFY2(client.closed(), qPrintable(step));
                } else if (action == QLatin1String("connects") || action.startsWith("holds ")) {
                    client.socket.write(action.section(u' ', 1).toLatin1());
                    QVERIFY(client.socket.waitForConnected(3000));
                    client.socket.flush();
                    QTest::qWait(20); // taken in by the port before the next client comes
                } else if (action == QLatin1String("quits")) {
                    client.socket.disconnectFromHost();
                    QVERIFY(client.closed());
                    QTest::qWait(100);
                } else if (action.startsWith(QLatin1String("reads "))) {
                    QCOMPARE(client.next(), action.mid(6));
                } else {
                    const QString expected = step.section(QStringLiteral(" = "), 1);
                    client.send(action.toLatin1());
                    if (expected == QLatin1String("...")) {
                        // On loopback the line is at the port once flushed: one turn of the event
                        // loop takes it in, ahead of the next step's.
                        client.socket.flush();
                        QTest::qWait(20);
                        continue; // its answer is read by a later step
                    }
                    if (!action.endsWith(u'?'))
                        client.send("SYST:ERR?");
                    QCOMPARE(client.next(), expected);
                }
            }
            QCOMPARE(rig.changes(), QString::fromLatin1(row.changes));
        }
    }

    // A silent indexer: the status queries answer from the supervisor's view at once, a move
    // that was never sent is over for MOV? and tells why, and a query that asks the line queues
    // its error by its deadline.
    void silentLine()
    {
        Rig rig;
        Peer client(rig.port->port(), QStringLiteral("127.0.0.1"));
        rig.line.responder = {};
        rig.refresh();      // unanswered now
        QByteArray replies; // all six within 100 ms
        client.send("POCK?\nPOCK:NAME?\nMOV?\nSTAT?\nINH?\n*OPC?");
        QTRY_VERIFY_WITH_TIMEOUT((replies += client.socket.readAll()).count('\n') == 6, 100);
        QCOMPARE(replies, "0\n\"\"\n0\nUNKNOWN\n0\n1\n");
        rig.motion.setTimeLimit(2); // longer than the line's proof
        rig.motion.setRemoteAllowed(true);
        client.send("SYST:REM\nPOCK 5\nMOV?");
        QCOMPARE(client.next(), QStringLiteral("0"));
        QVERIFY(client.errors().value(0).startsWith(
            "-240,\"Hardware error;\"\"B5\"\" not sent: the line has not"));
        // Three clients at once, the window's commands ahead of them longer than the deadline.
        rig.port->setAnswerMs(300);
        for (int i = 0; i < 2; ++i)
            rig.link.SendCommand(QStringLiteral("B?"));
        Peer front(rig.port->port(), QStringLiteral("127.0.0.2"));
        Peer rear(rig.port->port(), QStringLiteral("127.0.0.3"));
        const std::pair<Peer *, QByteArray> asks[] = {
            {&client, "SPE?"}, {&front, "CONT?"}, {&rear, "SW? FRONT"}};
        for (const auto &[peer, query] : asks)
            peer->send(query + "\n*TST?");
        for (const auto &[peer, query] : asks) {
            QVERIFY(QTest::qWaitFor([&] { return peer->socket.canReadLine(); }, 400));
            QVERIFY(peer->next() == "0" && peer->errors().value(0).startsWith("-240,"));
        }
    }

    // Where it listens: an explicit address and a port; the allow-list's entries.
    void settings()
    {
        // clang-format off
        const struct { const char *listen; const char *address; } rows[] = {
            {"127.0.0.1:5025", "127.0.0.1"}, {" [::1]:5025 ", "::1"}, {"0.0.0.0:5025", "0.0.0.0"}, {"[::]:5025", "::"},
            {"5025", nullptr}, {":5025", nullptr}, {"*:5025", nullptr}, {"localhost:5025", nullptr},
            {"::1:5025", nullptr}, {"127.0.0.1]:5025", nullptr}, {"127.0.0.1:0", nullptr}, {"127.0.0.1:65536", nullptr}, {"127.0.0.1:", nullptr},
        };
        // clang-format on
        for (const auto &row : rows) {
            QHostAddress address;
            quint16 port = 0;
            QString why;
            const QString listen = QString::fromLatin1(row.listen);
            QVERIFY2(ParseListen(listen, &address, &port, &why)
                         ? row.address && address == QHostAddress(row.address) && port == 5025
                         : !row.address && why.contains(listen.trimmed()),
                     qPrintable(listen + why));
        }
        // A list the settings layer would cut to "... 127.0.0.1/3" is refused whole.
        TestHome home;
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(),
                                      "[Instrument]\nAllow=10.0.0.1," + QByteArray(233, ' ') +
                                          "127.0.0.1/32," + QByteArray(37, ' ') + "10.0.0.2"));
        const QString error = InstrumentSettings::Read().error;
        QCOMPARE(error, "[Instrument] Allow= is 300 characters long, more than the 253 read");
        Rig rig;
        QCOMPARE(rig.motion.remotePort(), QStringLiteral("127.0.0.1:%1").arg(rig.port->port()));
        QString why;
        QVERIFY(!rig.port->setAllowed(QStringLiteral("10.0.0.0/8, lab-pc"), &why));
        QCOMPARE(why, QStringLiteral("\"lab-pc\" is neither an address nor a range"));
        // The list is kept as it was: loopback only.
        Peer peer(rig.port->port(), QStringLiteral("127.0.0.3"));
        peer.send("POCK?");
        QCOMPARE(peer.next(), QStringLiteral("3"));
    }
};

QTEST_GUILESS_MAIN(TestInstrument)
#include "tst_instrument.moc"
