// live on a terminal: redrawn with the documents, q quits.
#include "commands.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace ferrowctl {

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t resized = 0;

void onStop(int)
{
    stopRequested = 1;
}

void onResize(int)
{
    resized = 1;
}

void writeAll(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

// Raw keys without echo and the alternate screen while it lives; the
// terminal as it was afterwards, also after SIGINT, SIGTERM or SIGHUP.
class TerminalSession
{
public:
    TerminalSession()
    {
        m_saved = tcgetattr(STDIN_FILENO, &m_termios) == 0;
        if (m_saved) {
            termios raw = m_termios;
            raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        struct sigaction action {};
        action.sa_handler = onStop;
        sigemptyset(&action.sa_mask);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaction(s, &action, nullptr);
        action.sa_handler = onResize;
        sigaction(SIGWINCH, &action, nullptr);
        writeAll("\033[?1049h\033[?25l");
    }
    ~TerminalSession()
    {
        writeAll("\033[?25h\033[?1049l");
        if (m_saved)
            tcsetattr(STDIN_FILENO, TCSANOW, &m_termios);
    }
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

private:
    termios m_termios{};
    bool m_saved = false;
};

} // namespace

int runLiveTerminal(Io &io)
{
    stopRequested = 0;
    QString reason;
    {
        TerminalSession session;
        using clock = std::chrono::steady_clock;
        auto nextDraw = clock::now();
        while (!stopRequested) {
            if (clock::now() >= nextDraw || resized) {
                resized = 0;
                winsize size{};
                int rows = 24;
                int columns = 80;
                if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
                    rows = size.ws_row;
                    columns = size.ws_col;
                }
                const QString frame = liveFrame(io.colour, rows - 1, columns, &reason);
                if (frame.isEmpty())
                    break;
                writeAll("\033[H\033[2J" + frame.toUtf8() + "\033[2m(q quits)\033[0m");
                nextDraw = clock::now() + std::chrono::milliseconds(io.refreshMs);
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextDraw - clock::now()).count();
            pollfd in{STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&in, 1, int(std::max<long long>(wait, 0)));
            if (ready < 0 && errno != EINTR)
                break;
            if (ready > 0) {
                char key = 0;
                const ssize_t n = ::read(STDIN_FILENO, &key, 1);
                if (n == 0 || (in.revents & (POLLHUP | POLLERR)))
                    break; // the terminal went away
                if (key == 'q' || key == 'Q')
                    break;
            }
        }
    }
    if (!reason.isEmpty())
        return fail(io, ExitFailure, reason);
    return ExitOk;
}

} // namespace ferrowctl
