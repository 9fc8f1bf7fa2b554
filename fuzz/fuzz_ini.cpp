// Ini::readValue / Ini::writeValue on arbitrary contents. Input: 3 bytes giving the lengths
// (low 4 bits each) of a section, a key and a value that follow, then the INI contents.
#include "cIniFile.h"
#include "fuzzcommon.h"

#include <QList>
#include <QPair>
#include <QStringList>

namespace
{

bool sameName(const QString &a, const QString &b)
{
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

bool isBlankOrTab(QChar c)
{
    return c == u' ' || c == u'\t';
}

// Section and key names as they appear in the contents, a few of each, to look up before and
// after a write.
QList<QPair<QString, QString>> namesIn(const QByteArray &contents)
{
    QStringList sections;
    QStringList keys;
    QByteArray normalised = contents;
    normalised.replace('\r', '\n');
    for (const QByteArray &raw : normalised.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.contains(']')) {
            if (sections.size() < 8)
                sections << QString::fromUtf8(line.mid(1, line.indexOf(']') - 1));
        } else if (const qsizetype equals = line.indexOf('='); equals > 0) {
            if (keys.size() < 8)
                keys << QString::fromUtf8(line.left(equals));
        }
    }
    QList<QPair<QString, QString>> pairs;
    for (const QString &section : sections)
        for (const QString &key : keys)
            pairs << qMakePair(section, key);
    return pairs;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::abortOnErrorMessage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const qsizetype lengths[3] = {data[0] & 15, data[1] & 15, data[2] & 15};
    if (size < size_t(3 + lengths[0] + lengths[1] + lengths[2]))
        return 0;
    const QByteArray input = Fuzz::bytes(data, size);
    qsizetype pos = 3;
    const QString section = QString::fromLatin1(input.mid(pos, lengths[0]));
    pos += lengths[0];
    const QString key = QString::fromLatin1(input.mid(pos, lengths[1]));
    pos += lengths[1];
    const QString value = QString::fromLatin1(input.mid(pos, lengths[2]));
    pos += lengths[2];
    const QByteArray contents = input.mid(pos);

    const std::optional<QString> old = Ini::readValue(contents, section, key);
    const QByteArray written = Ini::writeValue(contents, section, key, value);

    if (!Ini::canWrite(section, key, value)) {
        FUZZ_CHECK(written == contents);
        FUZZ_CHECK(Ini::readValue(written, section, key) == old);
        return 0;
    }
    // Every line is kept and at most grows by a CR LF, plus the new section and key lines.
    const qsizetype added = section.toUtf8().size() + key.toUtf8().size() + value.toUtf8().size();
    FUZZ_CHECK(written.size() <= 2 * contents.size() + added + 8);

    // The value reads back (values are trimmed of blanks and tabs, so only untrimmed ones).
    const bool untrimmed =
        value.isEmpty() || (!isBlankOrTab(value.front()) && !isBlankOrTab(value.back()));
    if (untrimmed) {
        const std::optional<QString> read = Ini::readValue(written, section, key);
        FUZZ_CHECK(read && *read == value);
    }
    // Writing the same again changes nothing.
    FUZZ_CHECK(Ini::writeValue(written, section, key, value) == written);

    // Every other key keeps what it read before.
    for (const auto &[otherSection, otherKey] : namesIn(contents)) {
        if (sameName(otherSection, section) && sameName(otherKey, key))
            continue;
        const std::optional<QString> before = Ini::readValue(contents, otherSection, otherKey);
        if (before)
            FUZZ_CHECK(Ini::readValue(written, otherSection, otherKey) == before);
    }
    return 0;
}
