// The link on the fake port: opening, the transaction queue, port changes (a layout transfer
// meeting one too), lost devices.
#include "configtransfer.h"
#include "fakeserialport.h"
#include "modFileUtil.h"
#include "systemserialport.h"
#include "transact.h"

#include <QProcess>
#include <QTest>
#include <fcntl.h>

using Reply = IndexerLink::Reply;

class TestLink : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeSerialPort> port;
    std::unique_ptr<IndexerLink> link;
    QStringList results; // "command=result", in the order they came back
    QStringList words;   // the status words said

    void request(const QString &command, IndexerLink::Lane lane = IndexerLink::Lane::Operator)
    {
        link->SendCommand(
            command, this, [this, command](const Reply &r) { results << command + u'=' + r.text; },
            lane);
    }
    // Every frame gets this reply, delayMs later.
    void answer(const QByteArray &reply, int delayMs = 0)
    {
        port->replyDelayMs = delayMs;
        port->responder = [reply](const QByteArray &) { return reply; };
    }

private Q_SLOTS:
    void init()
    {
        results.clear(), words.clear(), link.reset();
        port = std::make_unique<FakeSerialPort>();
        link = std::make_unique<IndexerLink>(*port);
        connect(link.get(), &IndexerLink::linkStatusChanged, this,
                [this](const QString &word) { words << word; });
        QVERIFY(port->open(PortChoice::serial(1)));
    }

    // One transaction (its name, the command, the reply): the frame written, the result and the
    // status words; no CR within 200 ms ends by the timeout.
    void transaction()
    {
        // clang-format off
        const std::tuple<const char *, const char *, QByteArray, QByteArray, QString> rows[] = {
            {"LF after CR", "G2 1 045", "G:\r\n", "$G2 1 045\r\n", "G:\r\n"},
            {"the last line's LF first", "D?", "\nD:R\r", "$D?\r\n", "D:R\r"},
            {"NUL, high bytes", "I", QByteArray("I:\0\xC8\r", 5), "$I\r\n", QString::fromLatin1("I:\0\xC8\r", 5)},
            {"no CR", "B?", "B:", "$B?\r\n", "Timeout B:"}};
        // clang-format on
        for (const auto &[name, command, reply, frame, result] : rows) {
            init();
            answer(reply, 20);
            QElapsedTimer clock;
            clock.start();
            const Reply got = transact(*link, command);
            QVERIFY2(got.text == result, name);
            QCOMPARE(got.timedOut, result.startsWith(QLatin1String("Timeout")));
            if (got.timedOut) // from just before the write
                QVERIFY2(clock.elapsed() >= 195 && clock.elapsed() < 3000, name);
            QCOMPARE(port->written.join(), frame);
            QCOMPARE(words.join(u' '), got.timedOut ? "Busy Timeout" : "Busy Ready");
        }
    }

    // A handler that destroys the link: nothing of it is used after, and what waited is dropped.
    void handlerDestroysTheLink()
    {
        answer("B:1\r");
        link->SendCommand("B?", nullptr, [this](const Reply &) { link.reset(); });
        request("C?");
        QTRY_VERIFY(!link);
        QTest::qWait(IndexerLink::kTimeoutMs + 50);
        QVERIFY(results.isEmpty() && port->commands() == QStringList{"B?"});
    }

    // Bytes that nobody waits for are not kept: a reply after its timeout; a flood without CR is
    // cut.
    void bytesNobodyWaitsFor()
    {
        answer("B:7\r", 260);
        QVERIFY(transact(*link, "B?").timedOut);
        answer("A:1\r", 100); // the late line comes while the line settles
        QCOMPARE(transact(*link, "A?").text, QStringLiteral("A:1\r"));
        answer(QByteArray(1 << 20, 'n'), 10);
        QVERIFY(transact(*link, "C?").text.size() <= IndexerLink::kMaxReplyLength + 8);
    }

    // A line that does not answer: a bounded queue, whose refusals end at once unsent (the
    // operator's with the status word), scripts' filling only half of it; a poll goes ahead of
    // scripts' requests; a control's waiting request is replaced by its latest; a timed-out
    // frame that a stalled line still holds is dropped, never delivered late.
    void anUnansweredLine()
    {
        for (int i = 0; i < 12; ++i)
            request(QStringLiteral("S%1").arg(i), IndexerLink::Lane::Script);
        QCOMPARE(words, QStringList{"Busy"}); // a script's refusal is the script's to tell
        request(QStringLiteral("B?"), IndexerLink::Lane::Poll);
        for (int i = 0; i < 8; ++i)
            request(QStringLiteral("A%1").arg(i));
        QCOMPARE(words.last(), QStringLiteral("Timeout"));
        const Reply full = transact(*link, QStringLiteral("A8")); // a timeout, never an answer
        QVERIFY(full.timedOut && !full.port && full.unsent == IndexerLink::Unsent::QueueFull);
        int opened = -1; // a port change too
        link->selectPort(PortChoice::serial(2), this, [&opened](bool ok) { opened = ok; });
        QTRY_COMPARE(opened, 0);
        QTRY_COMPARE(results,
                     (QStringList{"S9=Timeout ", "S10=Timeout ", "S11=Timeout ", "A7=Timeout "}));
        QTRY_COMPARE(port->commands(), (QStringList{"S0", "B?", "S1"}));
    }

    // Raw text that could frame motion is never written, whoever sends it; other text is.
    void rawTextThatCouldMove()
    {
        // clang-format off
        const struct { const char *text; bool refused; } rows[] = {
            {"$B5", true}, {"$A?", true}, {"A?$B5", true}, {"B5", true}, {"b5", true}, {" C3", true},
            {"B", true}, {"XB5", true}, {"A?\x01", true}, {"A?\x7f", true}, {"B\u00e9", true},
            {"B?", false}, {"c ?", false}, {"A1", false}, {"G1 0 000", false}, {"@", false}, {"", false}};
        // clang-format on
        answer("ok\r");
        for (const auto &row : rows) {
            const Reply got = transact(*link, QString::fromUtf8(row.text));
            QVERIFY2((got.unsent == IndexerLink::Unsent::Refused) == row.refused, row.text);
            QCOMPARE(got.refusal, row.refused ? "text that could command motion" : QString());
        }
        QCOMPARE(port->commands().join(u','), "B?,c ?,A1,G1 0 000,@,"); // the others only
    }

    // A motion request is written only when it is the installed authority's and still stands as
    // it is about to be written: one that stopped standing while it waited behind a slow reply
    // or for the line to settle after a timeout is never written. After a timeout it waits for
    // a status query answered since (the link asks one itself).
    void motionAtTheWire()
    {
        // clang-format off
        const struct { const char *name; bool installed, other; int refuseAfterMs; bool timeoutFirst; const char *sent; QString refusal; } rows[] = {
            {"stands", true, false, -1, false, "A?,B4", {}},
            {"no authority", false, false, -1, false, "A?", "no motion authority"},
            {"another authority's", true, true, -1, false, "A?", "no motion authority"},
            {"refused behind a slow reply", true, false, 30, false, "A?", "moves inhibited"},
            {"refused while settling", true, false, 200, true, "A?,D?", "moves inhibited"},
            {"proof after a timeout", true, false, -1, true, "A?,D?,B4", {}},
            {"refused after a timeout: no proof asked", true, false, 0, true, "A?", "moves inhibited"},
        };
        // clang-format on
        for (const auto &row : rows) {
            init();
            TestAuthority authority, other;
            link->setMotionAuthority(row.installed ? &authority : nullptr);
            if (row.timeoutFirst)
                QVERIFY(transact(*link, "A?").timedOut);
            answer("ok\r", row.timeoutFirst ? 0 : 60);
            if (!row.timeoutFirst)
                request("A?");
            if (row.refuseAfterMs == 0)
                authority.refusal = QStringLiteral("moves inhibited");
            else if (row.refuseAfterMs > 0)
                QTimer::singleShot(row.refuseAfterMs, this,
                                   [&authority] { authority.refusal = "moves inhibited"; });
            const Reply got = transact(*link, (row.other ? other : authority).move(4));
            QVERIFY2(port->commands().join(u',') == QLatin1String(row.sent), row.name);
            QCOMPARE(got.refusal, row.refusal);
            QCOMPARE(got.unsent == IndexerLink::Unsent::Refused, !row.refusal.isEmpty());
            // The last transaction's word, not a Busy left behind.
            const bool lastTimedOut = row.timeoutFirst && QLatin1String(row.sent) == "A?";
            QVERIFY(row.refusal.isEmpty() ||
                    link->statusWord() == (lastTimedOut ? "Timeout" : "Ready"));
        }
    }

    // After a timeout a status query goes at once; any other request waits until the line has
    // settled: kSettleMs after the timeout and kQuietMs without a byte, kSettleMaxMs at most. One
    // that waits when the link shuts down is never written, nor kept.
    void settleAfterATimeout()
    {
        // The command, whether a byte comes every 20 ms (the line is never quiet), the least wait.
        const std::tuple<const char *, bool, int> rows[] = {
            {"B?", false, 0},
            {"A?", false, IndexerLink::kSettleMs},
            {"A?", true, IndexerLink::kSettleMaxMs}};
        for (const auto &[command, chatter, least] : rows) {
            init();
            QVERIFY(transact(*link, "I").timedOut);
            QElapsedTimer since;
            since.start();
            QTimer bytes;
            connect(&bytes, &QTimer::timeout, port.get(), [this] { port->deliver("x"); });
            if (chatter)
                bytes.start(20);
            answer("ok\r");
            const bool answered = !transact(*link, command).timedOut;
            const qint64 at = since.elapsed();
            QVERIFY2(answered && (least ? at >= least - 5 : at < IndexerLink::kSettleMs / 2),
                     qPrintable(QString::number(at)));
        }
        init();
        QVERIFY(transact(*link, "I").timedOut);
        request("A?");
        link->shutdown();
        QTest::qWait(IndexerLink::kSettleMaxMs);
        QVERIFY(port->commands() == QStringList{"I"} && !link->isBusy()); // nothing left waiting
    }

    // Devices of others: the kernel's console is never opened, whatever name leads to it. Who
    // holds a device, as a lock file says: only from the system's lock folders, and only when the
    // file's owner could own the process it names.
    void devicesOfOthers()
    {
        QTemporaryDir dir;
        const QString active = dir.filePath(QStringLiteral("active")), none = dir.filePath("none");
        const QString link = dir.filePath(QStringLiteral("by-id"));
        QVERIFY(ReplaceFileAtomically(active, "tty0 ttyS0\n") && QFile::link("/dev/ttyS0", link));
        // The device and the list of active consoles; whether it is the console, where it exists.
        // clang-format off
        const std::tuple<QString, QString, bool> consoles[] = {
            {"/dev/ttyS0", active, true}, {link, active, true}, {"/dev/null", active, false}, {"/dev/tty0", none, true},
            {"/dev/console", none, true}, {"/dev/ttyS0", none, false}, {"/dev/nothing", active, false}};
        // clang-format on
        for (const auto &[device, list, console] : consoles)
            QCOMPARE(IsSystemConsole(device, list), console && QFileInfo::exists(device));
        // Refused before any open, with the reason.
        SystemSerialPort console;
        QVERIFY(!console.open(PortChoice::serial(2, QStringLiteral("/dev/console"))));
        QCOMPARE(console.lastOpenFailure(), LinePort::OpenFailure::SystemConsole);
        // Other failures: a line another port holds, a device that is no line, a missing one.
        const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
        SystemSerialPort holder;
        QVERIFY(holder.open(PortChoice::serial(1, QString::fromLatin1(::ptsname(pty)))));
        const std::pair<QString, LinePort::OpenFailure> failures[] = {
            {holder.choice().device, LinePort::OpenFailure::InUse},
            {dir.path(), LinePort::OpenFailure::Other},
            {none, LinePort::OpenFailure::NotFound}};
        for (const auto &[device, failure] : failures)
            QVERIFY2(!console.open(PortChoice::serial(2, device)) &&
                         console.lastOpenFailure() == failure,
                     qPrintable(device));
        ::close(pty);
        if (::getuid() != 0)
            QSKIP("lock files of another owner need root");
        QProcess nobody; // a process of another user
        nobody.setChildProcessModifier([] { [[maybe_unused]] const int r = ::setuid(65534); });
        nobody.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(nobody.waitForStarted());
        const QString self = QString::number(::getpid()),
                      other = QString::number(nobody.processId());
        const QString name = QStringLiteral("LCK..rv360-test-%1").arg(self);
        // clang-format off
        const std::tuple<QString, uid_t, QString, QString> locks[] = {
            {"/tmp/", 0, self, {}}, {"/run/lock/", 65534, self, {}},
            {"/run/lock/", 0, self, "tst_link, pid " + self}, {"/run/lock/", 65534, other, "sleep, pid " + other}};
        // clang-format on
        for (const auto &[folder, owner, pid, named] : locks) {
            QVERIFY(
                ReplaceFileAtomically(folder + name, pid.rightJustified(10).toLatin1() + '\n') &&
                ::chown(QFile::encodeName(folder + name), owner, 0) == 0);
            const QString holder = LockHolder("/dev/" + name.mid(5));
            QFile::remove(folder + name);
            QCOMPARE(holder, named);
        }
        nobody.kill(), nobody.waitForFinished();
    }

    void lostDeviceIsReopenedAtMostOncePerSecond()
    {
        answer("B:4\r", 5);
        for (int round = 0; round < 2; ++round) {
            port->close();
            Q_EMIT port->deviceLost();
            // Lost again at once: the second attempt waits for the second to pass.
            QCOMPARE(transact(*link, "B?").timedOut, round == 1);
        }
        // Still missing once the interval has passed (shortened here): tried again after another.
        link->setReopenInterval(200);
        port->existingPorts.clear();
        QTest::qWait(200);
        QVERIFY(transact(*link, "B?").timedOut);
        port->existingPorts = {1};
        QTest::qWait(200);
        QCOMPARE(transact(*link, "B?").text, QStringLiteral("B:4\r"));
    }

    // A port change queued during a Read or a Send ends it at once, and none of its steps
    // reaches the new port.
    void portChangeDuringATransfer()
    {
        for (const bool read : {true, false}) {
            init();
            port->responder = [this](const QByteArray &f) -> QByteArray {
                if (f.startsWith("$G1")) // while the first row is on the wire
                    link->selectPort(PortChoice::serial(2));
                return f.startsWith("$F") ? "F:8\r" : f.startsWith("$G") ? "G:0 1\r" : "ok\r";
            };
            PocketLayout layout;
            layout.setType(0, 0), layout.setType(1, 0); // two rows used
            TransferOutcome outcome;
            if (read)
                ReadConfiguration(*link, this, layout,
                                  [&](auto, const TransferOutcome &o) { outcome = o; });
            else
                SendConfiguration(*link, this, layout,
                                  [&](const TransferOutcome &o) { outcome = o; });
            QTRY_VERIFY(outcome.portChanged);
            QCOMPARE(port->commands().join(u','), read ? "F?,G1?" : "F2,G1 0 000");
        }
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
