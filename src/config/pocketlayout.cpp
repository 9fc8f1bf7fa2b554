#include "pocketlayout.h"

#include "conversions.h"

#include <algorithm>

QString PocketWithName(int pocket, const QString &name)
{
    return name.isEmpty() ? QString::number(pocket) : QString::number(pocket) + u' ' + name;
}

bool PocketLayout::setType(int row, int type)
{
    if (!validRow(row) || type < 0 || type >= kTypes)
        return false;
    m_rows[row].type = type;
    return true;
}

bool PocketLayout::setPosition(int row, int position)
{
    if (!validRow(row) || position < 0 || position >= kPositions)
        return false;
    m_rows[row].position = position;
    return true;
}

std::optional<QString> PocketLayout::CleanName(const QString &name, QString *why)
{
    const QString kept = name.trimmed();
    QString problem;
    if (kept.size() > kMaxName)
        problem = QStringLiteral("a name has at most 16 characters");
    else if (kept.contains(u','))
        problem = QStringLiteral("a name has no comma");
    else if (std::any_of(kept.cbegin(), kept.cend(), IsHiddenControl))
        problem = QStringLiteral("a name has no control character");
    else if (std::any_of(kept.cbegin(), kept.cend(), [](QChar c) { return c.unicode() > 0xFF; }))
        problem = QStringLiteral("a name is 8-bit text (Latin-1)");
    if (problem.isEmpty())
        return kept;
    if (why)
        *why = problem;
    return std::nullopt;
}

bool PocketLayout::setName(int row, const QString &name, QString *why)
{
    const std::optional<QString> kept = CleanName(name, why);
    if (!validRow(row) || !kept)
        return false;
    if (const auto other = rowNamed(*kept); other && *other != row) {
        if (why)
            *why = QStringLiteral("pocket %1 is named %2 already")
                       .arg(*other + 1)
                       .arg(m_rows[*other].name);
        return false;
    }
    m_rows[row].name = *kept;
    return true;
}

std::optional<int> PocketLayout::rowNamed(const QString &name) const
{
    const QString wanted = name.trimmed();
    for (int row = 0; row < kRows && !wanted.isEmpty(); ++row) {
        if (m_rows[row].name.compare(wanted, Qt::CaseInsensitive) == 0)
            return row;
    }
    return std::nullopt;
}

PocketLayout::Names PocketLayout::names() const
{
    Names names;
    for (int row = 0; row < kRows; ++row)
        names[size_t(row)] = m_rows[row].name;
    return names;
}

void PocketLayout::setNames(const Names &names)
{
    for (int row = 0; row < kRows; ++row)
        setName(row, names[size_t(row)]);
}

int PocketLayout::usedCount() const
{
    int n = 0;
    while (n < kRows && m_rows[n].type != NotUsed)
        ++n;
    return n;
}
