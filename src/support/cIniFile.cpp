#include "cIniFile.h"

#include "errormessage.h"
#include "modFileUtil.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>

namespace
{

// Larger files are not read (and not written), which keeps memory bounded on a wrong file.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// The old platform buffer held 253 characters of a value.
constexpr qsizetype ValueBufferLength = cIniFile::kValueLength;

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool isBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

template <typename Pred> QByteArrayView trimView(QByteArrayView text, Pred drop)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && drop(text[begin]))
        ++begin;
    while (end > begin && drop(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Lines end at CR LF, LF or CR; text after the last line end is a line of its own.
QList<QByteArrayView> splitLines(const QByteArray &contents)
{
    QList<QByteArrayView> lines;
    const char *data = contents.constData();
    const qsizetype size = contents.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (data[i] != '\r' && data[i] != '\n')
            continue;
        lines.append(QByteArrayView(data + start, i - start));
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.append(QByteArrayView(data + start, size - start));
    return lines;
}

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    QByteArrayView name;
    QByteArrayView value;
};

ParsedLine parseLine(QByteArrayView line)
{
    ParsedLine parsed;
    const QByteArrayView trimmed = trimView(line, isWhite);
    if (trimmed.startsWith('[')) {
        const qsizetype close = trimmed.indexOf(']');
        if (close > 0) {
            parsed.kind = LineKind::Section;
            parsed.name = trimView(trimmed.sliced(1, close - 1), isWhite);
            return parsed;
        }
    }
    if (trimmed.startsWith(';'))
        return parsed;
    const qsizetype equals = line.indexOf('=');
    if (equals >= 0) {
        parsed.kind = LineKind::Key;
        parsed.name = trimView(line.first(equals), isWhite);
        parsed.value = trimView(line.sliced(equals + 1), isBlankOrTab);
    }
    return parsed;
}

// The file is 8-bit text: UTF-8 where the bytes are valid UTF-8, else Latin-1 (older files).
QString decoded(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

bool sameName(QByteArrayView inFile, const QString &wanted)
{
    return decoded(inFile).compare(wanted, Qt::CaseInsensitive) == 0;
}

bool hasLineBreak(const QString &text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

// What the old buffer gave back: the text up to the first NUL, at most 253 characters.
QString bufferText(const QString &value)
{
    const qsizetype nul = value.indexOf(QChar(0));
    QString text = nul < 0 ? value : value.left(nul);
    if (text.size() > ValueBufferLength) {
        // Never keep half of a surrogate pair.
        const bool splitsPair = text[ValueBufferLength - 1].isHighSurrogate();
        text.truncate(splitsPair ? ValueBufferLength - 1 : ValueBufferLength);
    }
    return text;
}

std::optional<QString> lookUp(const QString &fileName, const QString &section, const QString &key)
{
    if (fileName.isEmpty())
        return std::nullopt;
    const std::optional<QByteArray> contents = Ini::readFile(fileName);
    if (!contents)
        return std::nullopt;
    return Ini::readValue(*contents, section, key);
}

} // namespace

namespace Ini
{

std::optional<QByteArray> readFile(const QString &fileName, QString *why)
{
    const auto fail = [why](const char *reason) {
        if (why != nullptr)
            *why = QString::fromLatin1(reason);
        return std::nullopt;
    };
    // Checked before the open: opening a FIFO waits for a writer.
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile())
        return fail("Not a regular file");
    RestoreKeptCopy(fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail("Cannot be read");
    // Read one byte more than allowed to see a file that is too large, whatever size it reports.
    QByteArray contents = file.read(MaxFileSize + 1);
    if (contents.size() > MaxFileSize || file.error() != QFileDevice::NoError)
        return fail("Too large or unreadable");
    // A rewrite as 8-bit text would mangle UTF-16 or UTF-32.
    if (contents.startsWith("\xff\xfe") || contents.startsWith("\xfe\xff") ||
        contents.startsWith(QByteArrayView("\0\0\xfe\xff", 4)))
        return fail("Not 8-bit text");
    return contents;
}

std::optional<QString> readValue(const QByteArray &contents, const QString &section,
                                 const QString &key)
{
    const QString wantedSection = section.trimmed();
    const QString wantedKey = key.trimmed();
    bool inSection = false;
    bool seenSection = false;
    for (const QByteArrayView line : splitLines(contents)) {
        const ParsedLine parsed = parseLine(line);
        if (parsed.kind == LineKind::Section) {
            // Only the first section of that name counts.
            if (seenSection)
                break;
            inSection = sameName(parsed.name, wantedSection);
            seenSection = inSection;
        } else if (parsed.kind == LineKind::Key && inSection && sameName(parsed.name, wantedKey)) {
            return decoded(parsed.value);
        }
    }
    return std::nullopt;
}

bool canWrite(const QString &section, const QString &key, const QString &value)
{
    const QString s = section.trimmed();
    const QString k = key.trimmed();
    return !s.isEmpty() && !s.contains(u']') && !hasLineBreak(s) && !k.isEmpty() &&
           !k.contains(u'=') && !k.startsWith(u';') && !k.startsWith(u'[') && !hasLineBreak(k) &&
           !hasLineBreak(value);
}

QByteArray writeValue(const QByteArray &contents, const QString &section, const QString &key,
                      const QString &value)
{
    if (!canWrite(section, key, value))
        return contents;
    const QString wantedSection = section.trimmed();
    const QString wantedKey = key.trimmed();
    const QList<QByteArrayView> lines = splitLines(contents);

    qsizetype sectionLine = -1;
    qsizetype keyLine = -1;
    qsizetype lastFilledLine = -1;
    for (qsizetype i = 0; i < lines.size() && keyLine < 0; ++i) {
        const ParsedLine parsed = parseLine(lines[i]);
        if (parsed.kind == LineKind::Section) {
            if (sectionLine >= 0)
                break;
            if (sameName(parsed.name, wantedSection)) {
                sectionLine = i;
                lastFilledLine = i;
            }
        } else if (sectionLine >= 0) {
            if (!trimView(lines[i], isWhite).isEmpty())
                lastFilledLine = i;
            if (parsed.kind == LineKind::Key && sameName(parsed.name, wantedKey))
                keyLine = i;
        }
    }

    // A value that stays the same keeps its line byte for byte.
    if (keyLine >= 0 && decoded(parseLine(lines[keyLine]).value) == value)
        return contents;
    const QByteArray keyText = wantedKey.toUtf8() + '=' + value.toUtf8();
    QByteArray result;
    result.reserve(contents.size() + keyText.size() + wantedSection.size() + 16);
    const auto addLine = [&result](QByteArrayView line) {
        result.append(line);
        result.append("\r\n");
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        addLine(i == keyLine ? QByteArrayView(keyText) : lines[i]);
        if (keyLine < 0 && i == lastFilledLine)
            addLine(keyText);
    }
    if (sectionLine < 0) {
        addLine(QByteArray('[' + wantedSection.toUtf8() + ']'));
        addLine(keyText);
    }
    return result;
}

} // namespace Ini

bool cIniFile::ReadIniBool(const QString &Section, const QString &KeyName, const QString &Default)
{
    // Unlike the string read, a present empty value does not fall back to the default.
    const std::optional<QString> value = lookUp(m_fileName, Section, KeyName);
    const QString text = (value ? bufferText(*value) : Default).toUpper();
    return text == u"TRUE" || text == u"YES" || text == u"ON" || text == u"1";
}

qint16 cIniFile::WriteIniEntries(const QList<Entry> &Entries)
{
    if (m_fileName.isEmpty())
        return 0;
    // A file removed since the name was set is created again, as the old platform did;
    // one that is there but cannot be read is left alone.
    QByteArray contents;
    if (QFileInfo::exists(m_fileName)) {
        const std::optional<QByteArray> existing = Ini::readFile(m_fileName);
        if (!existing)
            return 0;
        contents = *existing;
    }
    const QByteArray before = contents;
    bool refused = false;
    for (const auto &[section, key, value] : Entries) {
        // Only the key that cannot be stored is refused; the others are written.
        if (!Ini::canWrite(section, key, value)) {
            ShowErrorMessage(
                QStringLiteral("WriteIniStr"), ErrorNumber::BadFileName,
                QStringLiteral("%1 not saved: it cannot be stored on one line").arg(key));
            refused = true;
            continue;
        }
        contents = Ini::writeValue(contents, section, key, value);
    }
    if (contents.size() > MaxFileSize)
        return 0;
    if (contents == before && QFileInfo::exists(m_fileName))
        return refused ? 0 : 1;
    // All keys in one replacement: the file is the old one or the new one, whole.
    QString why;
    if (!ReplaceFileAtomically(m_fileName, contents, &why)) {
        ShowErrorMessage(QStringLiteral("WriteIniStr"), ErrorNumber::PathFileAccess,
                         QStringLiteral("%1 could not be written: %2").arg(m_fileName, why));
        return 0;
    }
    return refused ? 0 : 1;
}

QString cIniFile::ReadIniStr(const QString &Section, const QString &KeyName, const QString &Default)
{
    const QString text = bufferText(lookUp(m_fileName, Section, KeyName).value_or(QString()));
    return text.isEmpty() ? Default : text;
}

std::optional<QString> cIniFile::ReadIniWhole(const QString &Section, const QString &KeyName,
                                              const QString &Default, QString *why)
{
    const QString value = lookUp(m_fileName, Section, KeyName).value_or(QString());
    if (bufferText(value) == value)
        return value.isEmpty() ? Default : value;
    const QString what = value.contains(QChar(0))
                             ? QStringLiteral("holds a NUL")
                             : QStringLiteral("is %1 characters long, more than the %2 read")
                                   .arg(value.size())
                                   .arg(kValueLength);
    *why = QStringLiteral("[%1] %2= %3").arg(Section.trimmed(), KeyName.trimmed(), what);
    return std::nullopt;
}

void cIniFile::setFileName(const QString &File)
{
    // A name the file system cannot even look up is an error, not a missing file.
    if (File.contains(QChar(0))) {
        ShowErrorMessage(QStringLiteral("Property Let IniFile"), ErrorNumber::BadFileName,
                         QStringLiteral("Bad file name"));
        return;
    }
    m_fileName = FileExists(File) ? File : QString();
}
