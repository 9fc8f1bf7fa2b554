// The configuration text's reader and LeadingNumber on arbitrary input, checked by properties
// that need no second parser.
#include "configfile.h"
#include "conversions.h"
#include "errormessage.h"

#include <QDirIterator>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(c)                                                                              \
    ((c) ? void()                                                                                  \
         : (std::fprintf(stderr, "line %d: check failed: %s\n", __LINE__, #c), std::abort()))

namespace
{

// LeadingNumber's properties whatever the number's form: a finite value, unchanged by a blank,
// tab or line feed inserted anywhere, and ended by a character that cannot continue a number.
void checkLeadingNumber(const QString &text, qsizetype seed)
{
    const auto bits = [](const QString &t) { return std::bit_cast<quint64>(LeadingNumber(t)); };
    FUZZ_CHECK(std::isfinite(LeadingNumber(text)));
    const QChar blank(u" \t\n"[seed % 3]), end(u",x\r\u0663\uff11"[seed % 5]);
    FUZZ_CHECK(bits(QString(text).insert(seed % (text.size() + 1), blank)) == bits(text));
    FUZZ_CHECK(bits(text + end + text) == bits(text));
}

void fuzzText(const QByteArray &contents)
{
    PocketLayout layout;
    ParseConfigText(contents, layout);
    // Unlike the layout in every field, so that a row left alone shows.
    PocketLayout other;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        other.setType(row, (layout.type(row) + 1) % PocketLayout::kTypes);
        other.setPosition(row, (layout.position(row) + 1) % PocketLayout::kPositions);
    }
    // The file the layout writes gives the same rows.
    PocketLayout copy = other;
    ParseConfigText(ConfigFileContents(layout), copy);
    FUZZ_CHECK(copy == layout);
    // Strictly, a text is taken whole, as the lenient reading takes it, or refused with a reason
    // and nothing changed.
    PocketLayout strict = other;
    QString why;
    const bool taken = ParseConfigText(contents, strict, ConfigText::Strict, &why);
    FUZZ_CHECK(taken ? strict == layout : strict == other && !why.isEmpty());

    const QList<QByteArray> fields = contents.split(',');
    for (qsizetype i = 0; i < fields.size(); ++i)
        checkLeadingNumber(QString::fromLatin1(fields[i]), contents.size() + i);
    if (contents.size() >= qsizetype(sizeof(qint64))) {
        // A whole number (shifted by the first byte's low bits: of every size) written in
        // decimal, hexadecimal or octal reads as itself.
        qint64 n = 0;
        std::memcpy(&n, contents.constData(), sizeof n);
        n >>= contents[0] & 63;
        FUZZ_CHECK(LeadingNumber(QString::number(n)) == double(n));
        FUZZ_CHECK(LeadingNumber(QStringLiteral("&H") + QString::number(quint64(n), 16)) ==
                   double(quint64(n)));
        FUZZ_CHECK(LeadingNumber(QStringLiteral("&o") + QString::number(quint64(n), 8)) ==
                   double(quint64(n)));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // None of these shows an error message: under the fuzzer one is a finding, and a message box
    // would wait for a click forever.
    SetErrorMessageHandler([](const QString &title, const QString &text) {
        std::fprintf(stderr, "error message: %s: %s\n", qPrintable(title), qPrintable(text));
        std::abort();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzText(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}

#ifdef RV360_FUZZ_REPLAY
// Without libFuzzer, for CTest: the checks once over each file of the folder given.
int main(int argc, char *argv[])
{
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (QDirIterator it(QString::fromLocal8Bit(argv[argc - 1]), QDir::Files); it.hasNext();
         ++inputs) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        fuzzText(file.readAll());
    }
    std::printf("%d inputs checked\n", inputs);
    return inputs > 0 ? 0 : 1;
}
#endif
