#pragma once

#include <QList>
#include <QString>

// The SCPI side of a line: its header and parameters, and matching a header to a command's
// mnemonics.
namespace Scpi
{

// A parameter as sent: a quoted string (its quotes gone, doubled ones made single) or not.
struct Param {
    QString text;
    bool quoted = false;
};

struct Line {
    QString header;
    QList<Param> params;
    // A syntax error (-102), with its detail; 0 when the line reads.
    int error = 0;
    QString detail;
};

// A line's header and comma-separated parameters; strings in double or single quotes.
Line Parse(const QString &text);

// Whether header ("pock:name?", ":POCKET:NAME?") names the command written as pattern
// ("POCKet:NAME?"): each mnemonic in its short form (the capitals) or whole, letter case
// ignored; common commands ("*IDN?") whole.
bool Matches(const QString &header, const char *pattern);

} // namespace Scpi
