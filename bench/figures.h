#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// The nine figures: each is measured beside its floor (what the same work costs without the
// program's code) in the same run, and ends as table rows with a target and a result.
struct BenchOptions {
    int transactions = 2000;
    int warmup = 200;
    int pacedTransactions = 1000;
    int timeoutRuns = 20;
    int pollSeconds = 30;
    int startRuns = 5;
    int floodSeconds = 300;
    QString simProgram;
    QString appProgram;
    // This executable, for the floors that need a process of their own.
    QString benchProgram;
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

    void roundTrip();  // 1
    void timeoutCpu(); // 2, and the timeout for 4
    void pollCpu();    // 3, and the poll period for 4
    void startup();    // 5
    void memory();     // 6
    void paced();      // 7
    void tcp();        // 8: the round trip over TCP
    void socket();     // 9: a script's status request over the control socket

    // The rows in figure order.
    std::vector<BenchRow> rows() const;

private:
    void add(BenchRow row);

    BenchOptions m_options;
    std::vector<BenchRow> m_rows;
};

// Child modes of the benchmark executable, used as floors.
int writeFrameMode(const char *path);
int bareWindowMode();
