#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// One connection to the window's instrument port, with blocking calls bounded by a timeout (under
// a Tango client's own 3 s, so that the client hears the reason, not a timeout of its own). It
// knows nothing of Tango, so that it can be tried on its own; it is not thread-safe (its owner
// serialises the calls).
class ScpiClient
{
public:
    struct Address {
        std::string host;
        unsigned short port = 0;
    };
    struct Error {
        int code = 0;
        std::string text;
    };

    // "HOST:PORT" (the port 1 to 65535); nothing when it is not one.
    static std::optional<Address> parseAddress(const std::string &text);
    // A SYST:ERR? answer: `-221,"Settings conflict;local control"`; nothing when malformed.
    static std::optional<Error> parseError(const std::string &answer);
    // A quoted string answer (`"Au"`) as its text; an unquoted answer as it is.
    static std::string unquote(std::string answer);
    // A string as a quoted parameter, its quotes doubled.
    static std::string quote(const std::string &text);
    // A list of quoted strings (`"Au","","5"" x"`); nothing when it is not one.
    static std::optional<std::vector<std::string>> unquoteList(const std::string &answer);

    explicit ScpiClient(Address address,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    ~ScpiClient();
    ScpiClient(const ScpiClient &) = delete;
    ScpiClient &operator=(const ScpiClient &) = delete;

    // Sends a line that has no answer. False (and the connection closed) when it fails.
    bool send(const std::string &line);
    // Sends a query and reads its one-line answer. On a timeout the connection is closed, so that
    // a late answer is never taken for the next query's.
    std::optional<std::string> query(const std::string &line);
    // The next answer line, for lines sent together that each have one.
    std::optional<std::string> nextAnswer() { return readLine(); }

    bool isConnected() const { return fd_ >= 0; }
    // Why the last call failed, in words for the device's Status.
    const std::string &lastError() const { return lastError_; }
    void close();

private:
    bool ensureConnected();
    bool connectNow();
    bool writeAll(const std::string &data);
    std::optional<std::string> readLine();
    void fail(const std::string &why);

    Address address_;
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    std::string buffer_;
    std::string lastError_;
    std::chrono::steady_clock::time_point lastAttempt_{};
    bool attempted_ = false;
};
