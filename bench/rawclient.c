/* rv360-bench-raw: the hand-written client that the program is measured against, in plain C with
 * no library but libc: open the pty, set it raw, write a frame, poll and read until CR.
 *
 *   rv360-bench-raw frame PATH         write "$B?" CR LF once (a bare process's start-up)
 *   rv360-bench-raw loop PATH N        N "B?" transactions back to back (instruction counts)
 *   rv360-bench-raw poll PATH SECONDS  "B?" then "D?" every 500 ms (CPU of a poll)
 */
#define _DEFAULT_SOURCE

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const char QueryFrame[] = "$B?\r\n";
static const char MotionFrame[] = "$D?\r\n";
enum { TimeoutMs = 200, PollMs = 500 };

static int openLine(const char *path)
{
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (fd < 0)
        return -1;
    if (tcgetattr(fd, &t) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Writes the frame and reads until a CR arrives; 0 when the time ran out first. */
static int transact(int fd, const char *frame)
{
    const size_t length = strlen(frame);
    char buffer[256];
    if (write(fd, frame, length) != (ssize_t)length)
        return 0;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, TimeoutMs) <= 0)
            return 0;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return 0;
        if (memchr(buffer, '\r', (size_t)n))
            return 1;
    }
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const int fd = openLine(argv[2]);
    if (fd < 0)
        return 1;
    if (strcmp(argv[1], "frame") == 0) {
        const ssize_t n = write(fd, QueryFrame, sizeof QueryFrame - 1);
        /* The frame must be read before the pty loses its opener. */
        usleep(100000);
        return n == (ssize_t)(sizeof QueryFrame - 1) ? 0 : 1;
    }
    if (argc < 4)
        return 2;
    const long count = strtol(argv[3], NULL, 10);
    int failures = 0;
    if (strcmp(argv[1], "loop") == 0) {
        for (long i = 0; i < count; ++i)
            failures += !transact(fd, QueryFrame);
    } else if (strcmp(argv[1], "poll") == 0) {
        struct timespec tick;
        clock_gettime(CLOCK_MONOTONIC, &tick);
        for (long i = 0; i < count * 1000 / PollMs; ++i) {
            failures += !transact(fd, QueryFrame);
            failures += !transact(fd, MotionFrame);
            tick.tv_nsec += PollMs * 1000000L;
            if (tick.tv_nsec >= 1000000000L) {
                tick.tv_nsec -= 1000000000L;
                ++tick.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, NULL);
        }
    } else {
        return 2;
    }
    close(fd);
    return failures ? 3 : 0;
}
