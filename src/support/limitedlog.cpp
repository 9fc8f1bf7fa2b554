#include "limitedlog.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>
#include <cstdio>

namespace
{

qint64 gapMs = 1000;

struct Kind {
    QElapsedTimer said; // since the last line of the kind went out
    int left = 0;       // lines left out since
    QString prefix;
};

void write(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void sayLeftOut(Kind &kind)
{
    write(QStringLiteral("%1%2 more like that left out").arg(kind.prefix).arg(kind.left));
    kind.left = 0;
    kind.said.start();
}

} // namespace

void SetLogLimitGap(qint64 ms)
{
    gapMs = ms;
}

void LogLimited(const QString &kind, const QString &prefix, const QString &line)
{
    static QHash<QString, Kind> kinds;
    Kind &each = kinds[kind];
    if (!each.said.isValid() || each.said.elapsed() >= gapMs) {
        if (each.left > 0) // its count is late: said before the new line
            sayLeftOut(each);
        write(line);
        each.said.start();
        return;
    }
    // The count goes out once the second has passed; a line in the meantime adds to it.
    if (each.left++ == 0) {
        each.prefix = prefix;
        QTimer::singleShot(gapMs - each.said.elapsed(), [kind] {
            Kind &later = kinds[kind];
            if (later.left > 0)
                sayLeftOut(later);
        });
    }
}
