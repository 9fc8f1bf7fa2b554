#include "scpi.h"

#include <algorithm>

namespace Scpi
{

namespace
{

bool isSpace(QChar c)
{
    return c.isSpace();
}

// A quoted string from rest[i] (its quote), i left past it and the blanks after it.
bool readQuoted(const QString &rest, qsizetype &i, Param &param)
{
    const QChar quote = rest[i];
    param.quoted = true;
    for (++i;; ++i) {
        if (i >= rest.size())
            return false;
        if (rest[i] == quote && (i + 1 >= rest.size() || rest[i + 1] != quote))
            break;
        if (rest[i] == quote)
            ++i;
        param.text += rest[i];
    }
    for (++i; i < rest.size() && rest[i].isSpace();)
        ++i;
    return true;
}

Line syntaxError(const QString &detail = QString())
{
    Line line;
    line.error = -102;
    line.detail = detail;
    return line;
}

} // namespace

Line Parse(const QString &text)
{
    Line line;
    const qsizetype space = std::find_if(text.cbegin(), text.cend(), isSpace) - text.cbegin();
    line.header = text.left(space);
    const QString rest = text.mid(space).trimmed();
    for (qsizetype i = 0; i < rest.size();) {
        Param param;
        if (rest[i] == u'"' || rest[i] == u'\'') {
            if (!readQuoted(rest, i, param))
                return syntaxError(QStringLiteral("string not closed"));
            if (i < rest.size() && rest[i] != u',')
                return syntaxError();
        } else {
            const qsizetype comma = rest.indexOf(u',', i);
            param.text = rest.mid(i, comma < 0 ? -1 : comma - i).trimmed();
            i = comma < 0 ? rest.size() : comma;
            if (param.text.isEmpty())
                return syntaxError(QStringLiteral("empty parameter"));
        }
        line.params.append(param);
        if (i >= rest.size())
            break;
        // Past the comma, to the next parameter, which must be there.
        for (++i; i < rest.size() && rest[i].isSpace();)
            ++i;
        if (i >= rest.size())
            return syntaxError(QStringLiteral("empty parameter"));
    }
    return line;
}

bool Matches(const QString &header, const char *pattern)
{
    QString given = header.startsWith(u':') ? header.mid(1) : header;
    QString wanted = QString::fromLatin1(pattern);
    if (given.endsWith(u'?') != wanted.endsWith(u'?'))
        return false;
    if (wanted.startsWith(u'*'))
        return given.compare(wanted, Qt::CaseInsensitive) == 0;
    if (wanted.endsWith(u'?')) {
        given.chop(1);
        wanted.chop(1);
    }
    const QStringList parts = given.split(u':');
    const QStringList mnemonics = wanted.split(u':');
    if (parts.size() != mnemonics.size())
        return false;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &full = mnemonics[i];
        const QString brief = full.left(
            std::find_if(full.cbegin(), full.cend(), [](QChar c) { return c.isLower(); }) -
            full.cbegin());
        if (parts[i].compare(brief, Qt::CaseInsensitive) != 0 &&
            parts[i].compare(full, Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

} // namespace Scpi
