// The motion supervisor alone on the fake port: how moves end, what it sends, the move record.
#include "fakeserialport.h"
#include "modFileUtil.h"
#include "motionsettings.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <sys/stat.h>

namespace
{
// An indexer that takes 300 ms to reach a pocket, or never does (it keeps moving, or stops
// short at pocket 3), or answers nothing.
enum class Mode { Arrives, KeepsMoving, StopsShort, Silent };
struct Indexer {
    Mode mode = Mode::Arrives;
    int pocket = 3, target = 3;
    QElapsedTimer since;
    // Status answers given first, whatever the state.
    QByteArrayList script;
    QByteArray answer(const QByteArray &frame)
    {
        if (!script.isEmpty() && frame.contains('?'))
            return script.takeFirst();
        const bool moving = mode == Mode::KeepsMoving ||
                            (mode == Mode::Arrives && target != pocket && since.elapsed() < 300);
        if (mode == Mode::Arrives && !moving)
            pocket = target;
        if (mode == Mode::Silent)
            return {};
        if (frame.startsWith("$B?"))
            return "B:" + QByteArray::number(pocket) + '\r';
        if (frame.startsWith("$D?"))
            return moving ? "D:M\r" : "D:R\r";
        if (frame.startsWith("$B")) {
            target = frame.mid(2, 1).toInt();
            since.start();
        }
        return "ok\r";
    }
};
} // namespace

class TestMotion : public QObject
{
    Q_OBJECT

    TestHome home;
    const QString record = home.dir.filePath(QStringLiteral("moves.csv"));

private Q_SLOTS:
    // The supervisor's settings: a time limit of 1 to 3600 whole seconds, else 30; the record on
    // unless turned off.
    void motionSettings()
    {
        for (const auto &[text, seconds, record] :
             {std::tuple{"[Motion]\nMoveTimeout= 1 \n[Log]\nMoves=0", 1, false},
              {"[Motion]\nMoveTimeout=3600", 3600, true},
              {"[Motion]\nMoveTimeout=0", 30, true},
              {"[Motion]\nMoveTimeout=3601", 30, true},
              {"[Motion]\nMoveTimeout=2.5", 30, true}}) {
            QVERIFY(ReplaceFileAtomically(SettingsFilePath(), text));
            const MotionSettings read = MotionSettings::Read();
            QVERIFY2(read.moveTimeoutS == seconds && read.recordMoves == record, text);
        }
    }

    // Each case: the indexer, the requests ("!" inhibits, "?" opens the setup dialog, "s" puts
    // a slow reply on the line and "f" fills the scripts' lane behind it, "L" the operator takes
    // remote control back, "+" waits 0.4 s, "k" the indexer keeps moving, "y" it stops at 6 as 5
    // is read, "x6" it is moved to 6 at its panel while someone polls, "a" it arrives; "w5" a move
    // from the window, "r5" from the remote holder, else a script's), the events and the moves
    // written. A move is never sent again; nobody else polls, so the supervisor asks the status
    // itself. Only a move written and not arrived is the alarm, and then its late arrival.
    void moves()
    {
        // clang-format off
        const struct { const char *name; Mode mode; int limitMs; const char *requests; QStringList events; const char *sent; } rows[] = {
            {"arrives", Mode::Arrives, 3000, "5", {"started 5 ", "arrived 5 at 5 in #.# s"}, "B5"},
            {"ready at another pocket", Mode::StopsShort, 300, "5", {"started 5 ", "failed 5 pocket 5 not reached in 0.3 s: at 3, ready"}, "B5"},
            {"no answer throughout", Mode::Silent, 700, "5", {"started 5 ", "failed 5 pocket 5 not reached in 0.7 s: at ?, no answer"}, "B5"},
            {"inhibited", Mode::Arrives, 3000, "! 5 w6", {"inhibited 5 moves inhibited: HV on", "inhibited 6 moves inhibited: HV on"}, ""},
            {"setup dialog open", Mode::Arrives, 3000, "? 5 w6", {"refused 5 setup dialog open", "started 6 ", "arrived 6 at 6 in #.# s"}, "B6"},
            {"inhibited while it waits", Mode::Arrives, 3000, "s 5 !", {"started 5 ", "inhibited 5 moves inhibited: HV on"}, ""},
            {"replaced while it waits", Mode::Arrives, 3000, "s 5 6", {"started 5 ", "replaced 5 replaced by a move to 6", "started 6 ", "arrived 6 at 6 in #.# s"}, "B6"},
            {"setup dialog opened while it waits", Mode::Arrives, 3000, "s 5 ?", {"started 5 ", "refused 5 setup dialog open"}, ""},
            {"taken back while it waits", Mode::Arrives, 3000, "s r5 L", {"started 5 ", "refused 5 remote control taken back by the operator"}, ""},
            {"a full lane", Mode::Arrives, 3000, "s f 5 + w6", {"started 5 ", "refused 5 \"B5\" not sent: too many commands wait", "started 6 ", "arrived 6 at 6 in #.# s"}, "B6"},
            {"moved at the indexer", Mode::Arrives, 3000, "x6", {"external 6 moved at the indexer: 3 -> 6"}, ""},
            {"a failed move's end is not the indexer's", Mode::Arrives, 300, "x3 k 5 + y x6", {"started 5 ", "failed 5 pocket 5 not reached in 0.3 s: at 3, moving"}, "B5"},
            {"arrives late", Mode::Arrives, 300, "k 5 + a x5", {"started 5 ", "failed 5 pocket 5 not reached in 0.3 s: at 3, moving", "late 5 pocket 5 reached after #.# s, past the 0.3 s limit"}, "B5"},
        };
        // clang-format on
        int results = 0;
        for (const auto &row : rows) {
            FakeSerialPort port;
            QVERIFY(port.open(PortChoice::serial(1)));
            Indexer indexer;
            indexer.mode = row.mode;
            port.responder = [&indexer](const QByteArray &frame) { return indexer.answer(frame); };
            IndexerLink link(port);
            MotionSupervisor motion(link);
            motion.setTimeLimitMs(row.limitMs);
            motion.setWatchMs(50, 150);
            motion.setRecordFile(record);
            QStringList events;
            connect(&motion, &MotionSupervisor::moveEvent, this,
                    [&events](const MotionSupervisor::Event &e) {
                        events << e.state + u' ' + QString::number(e.target) + u' ' + e.message;
                    });
            // A name that needs quoting in the record.
            motion.setNames({QString(), {}, {}, {}, QStringLiteral("Au \"B\""), {}, {}, {}});
            QSignalSpy views(&motion, &MotionSupervisor::viewChanged);
            motion.setRemoteAllowed(true);
            motion.takeRemote(this, QStringLiteral("127.0.0.2"));
            QCOMPARE(views.size(), 2); // watchers told: allowed, then held
            for (const QString &request : QString::fromLatin1(row.requests).split(u' ')) {
                const QChar kind = request[0];
                if (kind == u'!') {
                    motion.setInhibit(true, QStringLiteral("HV on"), QStringLiteral("script"));
                } else if (kind == u'?') {
                    motion.setRefusal([] { return QStringLiteral("setup dialog open"); });
                } else if (kind == u's' || kind == u'f') {
                    port.replyDelayMs = 20;
                    for (int n = kind == u's' ? 1 : IndexerLink::kMaxScriptWaiting; n > 0; --n)
                        link.SendCommand(QStringLiteral("A?"), nullptr, {},
                                         IndexerLink::Lane::Script);
                } else if (kind == u'L') {
                    motion.setRemoteAllowed(false);
                } else if (kind == u'+') {
                    QTest::qWait(400);
                } else if (kind == u'y') {
                    // It stops at 6 just after a pocket it passed was read.
                    indexer.script = {"B:5\r", "D:R\r"};
                    indexer.mode = Mode::Arrives;
                    indexer.pocket = indexer.target = 6;
                } else if (kind == u'k' || kind == u'a') {
                    indexer.mode = kind == u'k' ? Mode::KeepsMoving : Mode::Arrives;
                } else if (kind == u'x') {
                    for (int n = 0; n < 4; ++n) {
                        if (n == 2)
                            indexer.pocket = indexer.target = request.right(1).toInt();
                        for (const char *query : {"B?", "D?"})
                            link.SendCommand(query, nullptr, {}, IndexerLink::Lane::Poll);
                        QTRY_VERIFY(!link.isBusy());
                    }
                } else {
                    motion.move(request.right(1).toInt(),
                                kind == u'w'   ? MotionSupervisor::windowSource()
                                : kind == u'r' ? QStringLiteral("remote 127.0.0.2")
                                               : QStringLiteral("script uid=1 pid=2"),
                                this, {}, nullptr, kind == u'r' ? this : nullptr);
                }
            }
            QTRY_COMPARE_WITH_TIMEOUT(events.size(), row.events.size(), 5000);
            QTest::qWait(150); // and nothing after
            // Its own status queries never pile up behind a silent line: soon idle.
            QTRY_VERIFY_WITH_TIMEOUT(!link.isBusy(), 1000);
            events.replaceInStrings(QRegularExpression("\\d\\.\\d s(?=$|,)"), "#.# s");
            QVERIFY2(events == row.events, qPrintable(row.name + (u'\n' + events.join(u'\n'))));
            QCOMPARE(motion.alarm().isEmpty(), events.filter(QStringLiteral("failed")).isEmpty());
            const QStringList moves = port.commands().filter(QRegularExpression("[^?]$"));
            QCOMPARE(moves.join(u','), QString::fromLatin1(row.sent)); // what is not a query
            results += int(events.size() - events.filter(QStringLiteral("started")).size());
        }
        // One line per result, a header once; the time of the request, the pocket it was at
        // (nobody had asked yet).
        const QStringList lines = QString::fromUtf8(contentsOf(record)).split(u'\n');
        QCOMPARE(lines.size(), results + 2); // the header, and the last line's end
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3},script "
                                    "uid=1 pid=2,,\"5 Au \"\"B\"\"\",failed,0\\.\\d,\"pocket 5 not "
                                    "reached in 0.3 s: at 3, ready\"$"))
                     .match(lines[2])
                     .hasMatch(),
                 qPrintable(lines[2]));
        // In JSON (the watch, the status page) to a tenth of a second.
        const MotionSupervisor::Event took{"arrived", 5, "w", 1.26, {}, {}, nullptr};
        QCOMPARE(took.toJson()["seconds"], 1.3);
    }

    // The record's file: rotated at its cap with the header again, nine old files kept; read
    // back across files; a FIFO or a symbolic link planted there is never written, and the
    // failure is said once.
    void recordFiles()
    {
        FakeSerialPort port;
        IndexerLink link(port);
        MotionSupervisor motion(link);
        motion.setInhibit(true, QStringLiteral("HV on"), QStringLiteral("window"));
        motion.setRecordFile(record);
        QSignalSpy failures(&motion, &MotionSupervisor::recordFailed);
        for (int n = 1; n <= 10; ++n) {
            QVERIFY(ReplaceFileAtomically(
                record, QByteArray(MotionSupervisor::kRecordBytes - 10, char('a' + n)) + '\n'));
            motion.move(4, QStringLiteral("window"), nullptr, {});
        }
        QVERIFY(!QFileInfo::exists(record + ".10") && QFileInfo::exists(record + ".9"));
        QVERIFY(contentsOf(record).startsWith("time,source,from,target,result,seconds,message\n"));
        QStringList lines = MotionSupervisor::ReadHistory(record, 3);
        QCOMPARE(lines.size(), 4);
        QVERIFY(
            lines[1].endsWith(u'j') && lines[2].endsWith(u'k') &&
            lines[3].endsWith(QLatin1String(",window,,4,inhibited,0.0,moves inhibited: HV on")));
        QCOMPARE(motion.history(1), MotionSupervisor::ReadHistory(record, 1));
        // Planted: the move goes on, the thing planted is left as it was.
        const QString elsewhere = home.dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(ReplaceFileAtomically(elsewhere, "mine\n") && QFile::remove(record));
        QVERIFY(QFile::link(elsewhere, record));
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QCOMPARE(contentsOf(elsewhere), QByteArray("mine\n"));
        QString refused; // nor read through it
        QVERIFY(!MotionSupervisor::ReadHistory(record, 5, &refused).join(u' ').contains("mine"));
        QVERIFY(refused.endsWith(QLatin1String("moves.csv is not a regular file: not read")));
        QVERIFY(QFile::remove(record) && ::mkfifo(QFile::encodeName(record), 0600) == 0);
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QCOMPARE(failures.size(), 1);
        QVERIFY(failures[0][0].toString().endsWith(QLatin1String("not a regular file")));
        QCOMPARE(motion.history(1000).size(), 13);
        // A file that cannot be made: said with the system's reason.
        motion.setRecordFile(home.dir.filePath(QStringLiteral("gone/moves.csv")));
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QVERIFY(failures.last()[0].toString().endsWith(QLatin1String("No such file or directory")));
        // Written again once the folder is there; a failure after that is said anew.
        const QString gone = home.dir.filePath(QStringLiteral("gone"));
        QVERIFY(QDir().mkdir(gone));
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QVERIFY(QDir(gone).removeRecursively());
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QCOMPARE(failures.size(), 3);
        // The FIFO not read, the old files are.
        QCOMPARE(MotionSupervisor::ReadHistory(record, 5).size(), 6);
        // A rotation that cannot be done (a folder in the way of the oldest file) stops the
        // record: said at the first line not written.
        const QString full = home.dir.filePath(QStringLiteral("full.csv"));
        QVERIFY(ReplaceFileAtomically(full, QByteArray(MotionSupervisor::kRecordBytes - 10, 'f')) &&
                ReplaceFileAtomically(full + ".8", "") && QDir().mkdir(full + ".9"));
        motion.setRecordFile(full);
        motion.move(4, QStringLiteral("window"), nullptr, {});
        QCOMPARE(failures.last()[0].toString(), QStringLiteral("could not be rotated; stopped"));
    }
};

QTEST_MAIN(TestMotion)
#include "tst_motion.moc"
