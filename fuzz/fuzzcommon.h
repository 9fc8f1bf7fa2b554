#pragma once

#include "errormessage.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace Fuzz
{

// The code under test shows no error message for any input: under the fuzzer one is a finding,
// and a message box would wait for a click forever.
inline void abortOnErrorMessage()
{
    SetErrorMessageHandler([](const QString &title, const QString &text) {
        std::fprintf(stderr, "error message: %s: %s\n", qPrintable(title), qPrintable(text));
        std::abort();
    });
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace Fuzz
