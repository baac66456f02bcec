// The far end of a pseudo-terminal for tests of a serial port that another program opens (the
// Windows build under Wine). Prints the terminal's path (/dev/pts/N) as its first line, then echoes
// every byte it receives back to the port. It ends when its stdin closes, after --seconds (default
// 120), or, with --hangup-on B, right after receiving byte B: it then hangs the terminal up, as an
// unplugged device would.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

int64_t GetMonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool WriteAll(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            poll(&out, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 120;
    int hangupByte = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--hangup-on") == 0 && i + 1 < argc) {
            hangupByte = static_cast<int>(std::strtol(argv[++i], nullptr, 0)) & 0xFF;
        } else {
            std::fprintf(stderr, "usage: pty_peer [--seconds N] [--hangup-on BYTE]\n");
            return 2;
        }
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty_peer: posix_openpt");
        return 1;
    }
    const char* slavePath = ptsname(master);
    if (!slavePath) {
        std::perror("pty_peer: ptsname");
        return 1;
    }
    // Keeping the terminal open on this side too means the port may close and reopen it between
    // tests without the master seeing a hang-up each time (which poll reports without end).
    int slave = open(slavePath, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("pty_peer: open slave");
        return 1;
    }
    // Raw from the start: a terminal that echoes would send our own echo back to us forever.
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);

    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    int64_t endMs = GetMonotonicMs() + static_cast<int64_t>(seconds) * 1000;
    unsigned char buffer[4096];
    for (;;) {
        int64_t left = endMs - GetMonotonicMs();
        if (left <= 0)
            break;
        pollfd fds[2]{{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left > 1000 ? 1000 : left)) < 0 && errno != EINTR)
            break;
        if (fds[1].revents) {
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
                break;  // the one who started us is gone
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            if (hangupByte >= 0 && std::memchr(buffer, hangupByte, static_cast<size_t>(n)))
                break;
            if (!WriteAll(master, buffer, static_cast<size_t>(n)))
                break;
        } else if (fds[0].revents) {
            break;
        }
    }
    close(slave);
    close(master);
    return 0;
}
