// The Tango device's reading of the instrument port's answers and of where the port is: what a
// wrong answer or setting must not be taken for.
#include "scpiclient.h"

#include <QTest>

class TestScpiClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Where the port is: "HOST:PORT", IPv6 in brackets; anything else refused.
    void addresses()
    {
        // clang-format off
        const struct { const char *text, *host; int port; /* 0: refused */ } rows[] = {
            {"127.0.0.1:5025", "127.0.0.1", 5025}, {"[::1]:5025", "::1", 5025},
            {"chamber-pc:1", "chamber-pc", 1}, {"chamber-pc:65535", "chamber-pc", 65535},
            {"host:0", "", 0}, {"host:65536", "", 0}, {"host:", "", 0}, {":5025", "", 0},
            {"host:50a", "", 0}, {"5025", "", 0}, {"host:-1", "", 0}, {"host:999999", "", 0}};
        // clang-format on
        for (const auto &row : rows) {
            const auto address = ScpiClient::parseAddress(row.text);
            QVERIFY2(address ? address->host == row.host && address->port == row.port : !row.port,
                     row.text);
        }
    }

    // Quoted lists and error answers: a malformed one is no answer at all.
    void answers()
    {
        using List = std::vector<std::string>;
        // clang-format off
        const struct { const char *answer; std::optional<List> list; } lists[] = {
            {"\"Au\",\"\",\"\"", List{"Au", "", ""}}, {"\"Ag \"\"5N\"\"\"", List{"Ag \"5N\""}},
            {"\"a,b\",\"c\"", List{"a,b", "c"}}, {"\"a\",", std::nullopt}, {"\"a\"x", std::nullopt},
            {"\"a\"x\"b\"", std::nullopt}, {"\"abc", std::nullopt}, {"\"a\",\"b", std::nullopt},
            {"", std::nullopt}, {"Au", std::nullopt}};
        // clang-format on
        for (const auto &row : lists)
            QVERIFY2(ScpiClient::unquoteList(row.answer) == row.list, row.answer);
        // A code of 1: not an error answer.
        // clang-format off
        const struct { const char *answer; int code; const char *text; } errors[] = {
            {"0,\"No error\"", 0, "No error"}, {"4", 1, ""}, {",\"x\"", 1, ""},
            {"-221,\"Settings conflict;remote control held by 10.0.0.7\"", -221,
             "Settings conflict;remote control held by 10.0.0.7"},
            {"1234567,\"x\"", 1, ""}, {"-2x1,\"x\"", 1, ""}};
        // clang-format on
        for (const auto &row : errors) {
            const auto error = ScpiClient::parseError(row.answer);
            QVERIFY2(error ? error->code == row.code && error->text == row.text : row.code == 1,
                     row.answer);
        }
    }
};

QTEST_GUILESS_MAIN(TestScpiClient)
#include "tst_scpiclient.moc"
