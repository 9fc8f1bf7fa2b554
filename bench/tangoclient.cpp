// rv360-bench-tango: figure 13's Tango client, a process of its own as a lab's client is, so that
// its blocking CORBA calls never stop rv360-bench's event loop, which serves the instrument port
// the device server asks. Reads commands on stdin, answers on stdout (a line, four for reads):
//   reads N  N rounds of: Pocket read with source DEV, Pocket read from the polling buffer
//            (CACHE), a bare "POCK?" on the instrument port; three lines "dev|cache|bare T..."
//            of the times in µs, -1 where a call failed, then "why DEV|CACHE", the first
//            failure's words of each
//   write P  Pocket = P through Tango: "write START ELAPSED", the call's start on the steady
//            clock and its length, in µs
//   bare P   the same change as bare lines on the instrument port, as the device sends them
//   local    gives remote control back on the bare connection
// Any failure: "error WORDS".
// usage: rv360-bench-tango TANGO_PORT INSTRUMENT_PORT
#include <tango.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

double microsSince(Clock::time_point from)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - from).count();
}

// The steady clock is the system's monotonic one: rv360-bench reads the same.
long long clockMicros(Clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

// One blocking loopback connection with TCP_NODELAY, as a hand-written client would hold it.
class BareLine
{
public:
    explicit BareLine(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        const timeval wait{2, 0};
        if (m_fd < 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
            close();
    }
    ~BareLine() { close(); }
    BareLine(const BareLine &) = delete;
    BareLine &operator=(const BareLine &) = delete;

    bool ok() const { return m_fd >= 0; }
    bool send(const std::string &lines)
    {
        return m_fd >= 0 &&
               ::send(m_fd, lines.data(), lines.size(), MSG_NOSIGNAL) == ssize_t(lines.size());
    }
    // Sends the lines and reads the first answer; empty when none came.
    std::string ask(const std::string &lines)
    {
        std::string answer;
        if (!send(lines))
            return answer;
        char buffer[256];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return {};
            answer.append(buffer, std::size_t(n));
            if (const auto end = answer.find('\n'); end != std::string::npos)
                return answer.substr(0, end);
        }
    }

private:
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int m_fd = -1;
};

std::string words(const Tango::DevFailed &e)
{
    return e.errors.length() ? std::string(e.errors[0].desc.in()) : std::string("DevFailed");
}

// The read's time in µs, or -1 with the first failure's words kept in why.
double timedRead(Tango::DeviceProxy &device, Tango::DevSource source, std::string &why)
{
    device.set_source(source);
    const Clock::time_point start = Clock::now();
    try {
        Tango::DeviceAttribute value = device.read_attribute("Pocket");
        Tango::DevShort pocket = 0;
        value >> pocket;
        if (pocket >= 1 && pocket <= 8)
            return microsSince(start);
        if (why.empty())
            why = "Pocket read as " + std::to_string(pocket);
    } catch (const Tango::DevFailed &e) {
        if (why.empty())
            why = words(e);
    }
    return -1;
}

void reads(Tango::DeviceProxy &device, BareLine &bare, int count)
{
    std::ostringstream dev, cache, floor;
    std::string devWhy, cacheWhy;
    dev << "dev";
    cache << "cache";
    floor << "bare";
    for (int i = 0; i < count; ++i) {
        dev << ' ' << timedRead(device, Tango::DEV, devWhy);
        cache << ' ' << timedRead(device, Tango::CACHE, cacheWhy);
        const Clock::time_point start = Clock::now();
        floor << ' ' << (bare.ask("POCK?\n").empty() ? -1 : microsSince(start));
    }
    std::cout << dev.str() << '\n'
              << cache.str() << '\n'
              << floor.str() << "\nwhy " << devWhy << '|' << cacheWhy << std::endl;
}

void write(Tango::DeviceProxy &device, short pocket)
{
    Tango::DeviceAttribute value("Pocket", pocket);
    const Clock::time_point start = Clock::now();
    device.write_attribute(value);
    std::cout << "write " << clockMicros(start) << ' ' << microsSince(start) << std::endl;
}

// The device's own lines for a change, answered by the error query alone.
void bareWrite(BareLine &bare, short pocket)
{
    const Clock::time_point start = Clock::now();
    const std::string error =
        bare.ask("*CLS\nSYST:REM\nPOCK " + std::to_string(pocket) + "\nSYST:ERR?\n");
    const double elapsed = microsSince(start);
    if (error.rfind("0,", 0) != 0)
        throw std::runtime_error("the instrument port answered " + error);
    std::cout << "write " << clockMicros(start) << ' ' << elapsed << std::endl;
}

void serve(Tango::DeviceProxy &device, BareLine &bare, const std::string &line)
{
    std::istringstream in(line);
    std::string command;
    int value = 0;
    in >> command >> value;
    if (command == "reads")
        reads(device, bare, value);
    else if (command == "write")
        write(device, static_cast<short>(value));
    else if (command == "bare")
        bareWrite(bare, static_cast<short>(value));
    else if (command == "local")
        std::cout << (bare.send("SYST:LOC\n") ? "ok" : "error the instrument port is closed")
                  << std::endl;
    else
        std::cout << "error unknown command " << line << std::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::cerr << "usage: rv360-bench-tango TANGO_PORT INSTRUMENT_PORT\n";
        return 2;
    }
    BareLine bare(std::atoi(argv[2]));
    if (!bare.ok()) {
        std::cout << "error no connection to the instrument port" << std::endl;
        return 1;
    }
    std::string name = std::string("tango://127.0.0.1:") + argv[1] + "/rv360/indexer/1#dbase=no";
    std::unique_ptr<Tango::DeviceProxy> device;
    try {
        device = std::make_unique<Tango::DeviceProxy>(name);
        device->ping();
    } catch (const Tango::DevFailed &e) {
        std::cout << "error " << words(e) << std::endl;
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        try {
            serve(*device, bare, line);
        } catch (const Tango::DevFailed &e) {
            std::cout << "error " << words(e) << std::endl;
        } catch (const std::exception &e) {
            std::cout << "error " << e.what() << std::endl;
        }
    }
    return 0;
}
