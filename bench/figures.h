#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// The thirteen figures: each is measured beside its floor (what the same work costs without the
// program's code) in the same run, and ends as table rows with a target and a result.
struct BenchOptions {
    int transactions = 2000;
    int warmup = 200;
    int pacedTransactions = 1000;
    int timeoutRuns = 20;
    int pollSeconds = 60;
    int startRuns = 5;
    int floodSeconds = 300;
    // Transactions of the shorter callgrind run (the longer one has twice as many).
    int countedTransactions = 400;
    int countedPacedTransactions = 200;
    // The X server display of the window figures, one of the benchmark's own.
    QString display = QStringLiteral(":71");
    QString simProgram;
    QString appProgram;
    // The hand-written C client, the bare Qt Widgets program and the pyserial script.
    QString rawProgram;
    QString bareQtProgram;
    QString pyserialScript;
    // This executable, for the floors that need a process of their own.
    QString benchProgram;
    // rv360-tango and the benchmark's Tango client, when libtango is there.
    QString tangoProgram;
    QString tangoClient;
};

struct BenchRow {
    enum class Result { Pass, Miss, Info, Error };
    int figure = 0;
    QString name;
    QString measured;
    QString floor;
    QString target;
    Result result = Result::Info;
    // Printed under the table when the row misses or fails.
    QString note;
};

class Figures
{
public:
    explicit Figures(BenchOptions options) : m_options(std::move(options)) {}

    void roundTrip();    // 1
    void timeoutCpu();   // 2, and the timeout for 4
    void pollCpu();      // 3: the real program polling, and the poll period for 4
    void startup();      // 5
    void memory();       // 6
    void paced();        // 7
    void tcp();          // 8: the round trip over TCP
    void socket();       // 9: a script's status request over the control socket
    void instructions(); // 10: callgrind's instructions per transaction
    void instrument();   // 11: POCK? over the instrument port
    void web();          // 12: the status page and metrics of the real program
    void tango();        // 13: Pocket read and written through rv360-tango

    // The rows in figure order.
    std::vector<BenchRow> rows() const;

private:
    void add(BenchRow row);
    void watchedCpu(qint64 pid, quint16 port, const QString &directory);

    BenchOptions m_options;
    std::vector<BenchRow> m_rows;
};

// Child modes of the benchmark executable.
// The link alone, as the program drives it: count "B?" transactions on the line at path, each
// asked from the last one's result; for callgrind.
int linkLoopMode(int argc, char *argv[]);
