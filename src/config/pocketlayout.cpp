#include "pocketlayout.h"

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

int PocketLayout::usedCount() const
{
    int n = 0;
    while (n < kRows && m_rows[n].type != NotUsed)
        ++n;
    return n;
}
