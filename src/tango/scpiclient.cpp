#include "scpiclient.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// The port's answers are short; a line longer than this is not one of them.
constexpr std::size_t kMaxLine = 4096;
// Reconnect at most this often, so that a window that is down is not hammered.
constexpr auto kRetryInterval = std::chrono::seconds(1);

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
} // namespace

std::optional<ScpiClient::Address> ScpiClient::parseAddress(const std::string &text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int port = std::stoi(portText);
    if (port < 1 || port > 65535)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    // An IPv6 address in brackets, as in a URL: "[::1]:5025".
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return Address{host, static_cast<unsigned short>(port)};
}

std::optional<ScpiClient::Error> ScpiClient::parseError(const std::string &answer)
{
    const auto comma = answer.find(',');
    if (comma == std::string::npos || comma == 0 || comma > 6)
        return std::nullopt;
    const std::string codeText = answer.substr(0, comma);
    if (codeText.find_first_not_of("-+0123456789") != std::string::npos)
        return std::nullopt;
    try {
        return Error{std::stoi(codeText), unquote(answer.substr(comma + 1))};
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::string ScpiClient::unquote(std::string answer)
{
    if (answer.size() < 2 || answer.front() != '"' || answer.back() != '"')
        return answer;
    answer = answer.substr(1, answer.size() - 2);
    // A quote inside is doubled on the wire.
    for (auto at = answer.find("\"\""); at != std::string::npos; at = answer.find("\"\"", at + 1))
        answer.erase(at, 1);
    return answer;
}

std::string ScpiClient::quote(const std::string &text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"')
            quoted += c;
    }
    return quoted + "\"";
}

std::optional<std::vector<std::string>> ScpiClient::unquoteList(const std::string &answer)
{
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at < answer.size() && answer[at] == '"') {
        std::string item;
        for (++at; at < answer.size(); ++at) {
            if (answer[at] != '"') {
                item += answer[at];
            } else if (at + 1 < answer.size() && answer[at + 1] == '"') {
                item += '"';
                ++at;
            } else {
                break;
            }
        }
        if (at == answer.size())
            return std::nullopt; // not closed
        items.push_back(std::move(item));
        if (++at == answer.size())
            return items;
        if (answer[at] != ',')
            return std::nullopt;
        ++at;
    }
    return std::nullopt;
}

ScpiClient::ScpiClient(Address address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout)
{
}

ScpiClient::~ScpiClient()
{
    close();
}

void ScpiClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

void ScpiClient::fail(const std::string &why)
{
    lastError_ = why;
    close();
}

bool ScpiClient::send(const std::string &line)
{
    return ensureConnected() && writeAll(line + "\n");
}

std::optional<std::string> ScpiClient::query(const std::string &line)
{
    if (!ensureConnected() || !writeAll(line + "\n"))
        return std::nullopt;
    return readLine();
}

bool ScpiClient::ensureConnected()
{
    if (fd_ >= 0)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (attempted_ && now - lastAttempt_ < kRetryInterval)
        return false; // lastError_ still says why the last attempt failed
    attempted_ = true;
    lastAttempt_ = now;
    return connectNow();
}

bool ScpiClient::connectNow()
{
    const std::string where = address_.host + ":" + std::to_string(address_.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(address_.host.c_str(), std::to_string(address_.port).c_str(), &hints, &found) !=
            0 ||
        !found) {
        fail("rv360 not reachable at " + where + ": unknown host");
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> first(found, freeaddrinfo);
    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            found->ai_protocol);
    int result = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
    if (result < 0 && fd >= 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int soError = ETIMEDOUT;
        socklen_t len = sizeof soError;
        if (::poll(&p, 1, static_cast<int>(timeout_.count())) == 1)
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        errno = soError;
        result = soError == 0 ? 0 : -1;
    }
    if (result < 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        fail("rv360 not reachable at " + where + ": " + why);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    buffer_.clear();
    return true;
}

bool ScpiClient::writeAll(const std::string &data)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd_, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
            ::poll(&p, 1, remainingMs(deadline)) <= 0) {
            fail(std::string("rv360 connection lost: ") + std::strerror(errno));
            return false;
        }
    }
    return true;
}

std::optional<std::string> ScpiClient::readLine()
{
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        const auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (buffer_.size() > kMaxLine) {
            fail("rv360 sent a line too long");
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready <= 0) {
            fail(ready == 0 ? "rv360 did not answer in time" : "rv360 connection lost");
            return std::nullopt;
        }
        char chunk[512];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
            fail("rv360 closed the connection");
            return std::nullopt;
        }
        if (n > 0)
            buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}
