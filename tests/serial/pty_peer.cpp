// The far end of a pseudo-terminal for tests of a serial port that another program opens (the
// Windows build under Wine). Prints the terminal's path (/dev/pts/N) as its first line, then echoes
// every byte it receives back to the port. It ends when its stdin closes or, with --hangup-on B,
// right after receiving byte B: it then hangs the terminal up, as an unplugged device would.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int hangupByte = -1;
    if (argc == 3 && std::strcmp(argv[1], "--hangup-on") == 0) {
        hangupByte = static_cast<int>(std::strtol(argv[2], nullptr, 0)) & 0xFF;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: pty_peer [--hangup-on BYTE]\n");
        return 2;
    }
    // The terminal stays open on this side too, so that the port may close and reopen it between
    // tests without the master seeing a hang-up each time (which poll reports without end). Raw
    // from the start: a terminal that echoes would send our own echo back to us forever.
    int master = -1, slave = -1;
    char path[128];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("pty_peer: openpty");
        return 1;
    }
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    std::printf("%s\n", path);
    std::fflush(stdout);

    unsigned char buffer[4096];
    for (;;) {
        pollfd fds[2]{{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents && read(STDIN_FILENO, buffer, sizeof buffer) <= 0))
            break;  // the one who started us is gone
        if (!fds[0].revents)
            continue;
        ssize_t n = fds[0].revents & POLLIN ? read(master, buffer, sizeof buffer) : 0;
        if (n <= 0 || (hangupByte >= 0 && std::memchr(buffer, hangupByte, static_cast<size_t>(n))) ||
            write(master, buffer, static_cast<size_t>(n)) != n)
            break;
    }
    close(slave);
    close(master);
    return 0;
}
