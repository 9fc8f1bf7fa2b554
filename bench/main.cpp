// rv360-bench: timing, CPU and memory figures of the program's own code against rv360-sim on a
// real pseudo-terminal, each beside its floor. Not a test: run it through bench/run.sh.
#include "figures.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <functional>

namespace
{

void print(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

QString cpuModel()
{
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

QString resultText(BenchRow::Result result)
{
    switch (result) {
    case BenchRow::Result::Pass:
        return QStringLiteral("PASS");
    case BenchRow::Result::Miss:
        return QStringLiteral("MISS");
    case BenchRow::Result::Error:
        return QStringLiteral("ERROR");
    case BenchRow::Result::Info:
        break;
    }
    return QStringLiteral("info");
}

QString sibling(const QString &relative)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(relative);
}

void printHeader(const BenchOptions &options, bool quick)
{
    print(QStringLiteral("# rv360-bench (%1)")
              .arg(quick ? QStringLiteral("quick") : QStringLiteral("full")));
    print(QStringLiteral("Machine: %1, %2 cores, kernel %3, Qt %4, build %5")
              .arg(cpuModel())
              .arg(QThread::idealThreadCount())
              .arg(QSysInfo::kernelVersion(), QString::fromLatin1(qVersion()),
                   QStringLiteral(RV360_BENCH_BUILD_TYPE)));
    print(QStringLiteral("Load average at start: %1").arg(loadAverage()));
    print(QStringLiteral("rv360: %1\nrv360-sim: %2\n").arg(options.appProgram, options.simProgram));
}

void runFigures(Figures &figures, const std::function<bool(int)> &wanted)
{
    // Latency first, the long flood last.
    if (wanted(1))
        figures.roundTrip();
    if (wanted(7))
        figures.paced();
    if (wanted(10))
        figures.instructions();
    if (wanted(8))
        figures.tcp();
    if (wanted(9))
        figures.socket();
    if (wanted(11))
        figures.instrument();
    if (wanted(12))
        figures.web();
    if (wanted(13)) {
#ifdef RV360_BENCH_TANGO
        figures.tango();
#else
        print(QStringLiteral("[13] left out: rv360-tango is not built (Debian's libtango-dev)"));
#endif
    }
    if (wanted(2) || wanted(4))
        figures.timeoutCpu();
    if (wanted(3) || wanted(4))
        figures.pollCpu();
    if (wanted(5))
        figures.startup();
    if (wanted(6))
        figures.memory();
}

// The Markdown table and the notes of the rows that missed or failed; the exit status.
int printTable(const std::vector<BenchRow> &rows, const std::function<bool(int)> &wanted)
{
    print(QStringLiteral("\nLoad average at end: %1\n").arg(loadAverage()));
    print(QStringLiteral("| # | Figure | Measured | Floor | Target | Result |"));
    print(QStringLiteral("|---|---|---|---|---|---|"));
    QStringList notes;
    int failures = 0;
    for (const BenchRow &row : rows) {
        if (!wanted(row.figure))
            continue;
        const QString result = resultText(row.result);
        print(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
                  .arg(row.figure)
                  .arg(row.name, row.measured, row.floor, row.target, result));
        if (row.result == BenchRow::Result::Miss || row.result == BenchRow::Result::Error) {
            ++failures;
            if (!row.note.isEmpty())
                notes << QStringLiteral("- %1 %2 (%3): %4")
                             .arg(result)
                             .arg(row.figure)
                             .arg(row.name, row.note);
        }
    }
    if (!notes.isEmpty())
        print(QStringLiteral("\n") + notes.join(u'\n'));
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The link alone, run under callgrind by figure 10.
    if (argc == 4 && std::strcmp(argv[1], "--link-loop") == 0)
        return linkLoopMode(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the program's round trip, CPU, timing, start-up and memory against rv360-sim."));
    parser.addHelpOption();
    const QCommandLineOption quickOption(
        QStringLiteral("quick"),
        QStringLiteral("Short runs: 300 transactions, 10 s poll windows, 20 s flood."));
    const QCommandLineOption floodOption(QStringLiteral("flood-seconds"),
                                         QStringLiteral("Length of the flood (default 300)."),
                                         QStringLiteral("N"));
    const QCommandLineOption onlyOption(QStringLiteral("only"),
                                        QStringLiteral("Run only these figures, e.g. 1,7."),
                                        QStringLiteral("LIST"));
    const QCommandLineOption simOption(QStringLiteral("sim"), QStringLiteral("rv360-sim to use."),
                                       QStringLiteral("PATH"), QStringLiteral(RV360_BENCH_SIM));
    const QCommandLineOption appOption(QStringLiteral("rv360"), QStringLiteral("rv360 to use."),
                                       QStringLiteral("PATH"), QStringLiteral(RV360_BENCH_APP));
    const QCommandLineOption displayOption(
        QStringLiteral("display"),
        QStringLiteral("X display for the Xvfb the benchmark starts (default :71)."),
        QStringLiteral("DISPLAY"), QStringLiteral(":71"));
    parser.addOptions({quickOption, floodOption, onlyOption, simOption, appOption, displayOption});
#ifdef RV360_BENCH_TANGO
    const QCommandLineOption tangoOption(QStringLiteral("tango"),
                                         QStringLiteral("rv360-tango to use (figure 13)."),
                                         QStringLiteral("PATH"), QStringLiteral(RV360_BENCH_TANGO));
    parser.addOption(tangoOption);
#endif
    parser.process(app);

    BenchOptions options;
    const bool quick = parser.isSet(quickOption);
    if (quick) {
        options.transactions = 300;
        options.warmup = 50;
        options.pacedTransactions = 100;
        options.pollSeconds = 10;
        options.floodSeconds = 20;
        options.countedTransactions = 200;
        options.countedPacedTransactions = 100;
    }
    if (parser.isSet(floodOption)) {
        bool ok = false;
        options.floodSeconds = parser.value(floodOption).toInt(&ok);
        if (!ok || options.floodSeconds < 2) {
            std::fprintf(stderr, "rv360-bench: --flood-seconds takes a whole number >= 2\n");
            return 2;
        }
    }
    options.simProgram = sibling(parser.value(simOption));
    options.appProgram = sibling(parser.value(appOption));
    options.benchProgram = QCoreApplication::applicationFilePath();
    options.rawProgram = QStringLiteral(RV360_BENCH_RAW);
    options.bareQtProgram = QStringLiteral(RV360_BENCH_BAREQT);
    options.pyserialScript = QStringLiteral(RV360_BENCH_PYSERIAL);
    options.display = parser.value(displayOption);
#ifdef RV360_BENCH_TANGO
    options.tangoProgram = sibling(parser.value(tangoOption));
    options.tangoClient = QStringLiteral(RV360_BENCH_TANGO_CLIENT);
#endif
    QList<int> only;
    for (const QString &part : parser.value(onlyOption).split(u',', Qt::SkipEmptyParts))
        only << part.toInt();
    const auto wanted = [&only](int figure) { return only.isEmpty() || only.contains(figure); };

    printHeader(options, quick);

    Figures figures(options);
    runFigures(figures, wanted);
    return printTable(figures.rows(), wanted);
}
