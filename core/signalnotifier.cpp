#include "signalnotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] is read by the event loop.
int signalPipe[2] = {-1, -1};

void writeSignalNumber(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe drops the byte; hundreds of signals are already pending then.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalNotifier::SignalNotifier(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(signalPipe[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    ::fcntl(signalPipe[0], F_SETFL, ::fcntl(signalPipe[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);

    notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalNotifier::deliverPending);

    valid = true;
    for (int signalNumber : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = writeSignalNumber;
        sigemptyset(&action.sa_mask);
        // Restart interrupted system calls: the main thread may be in a
        // blocking wait (collector start, D-Bus call) when the signal arrives.
        action.sa_flags = SA_RESTART;
        if (::sigaction(signalNumber, &action, nullptr) != 0)
            valid = false;
        else
            handled.append(signalNumber);
    }
}

SignalNotifier::~SignalNotifier()
{
    for (int signalNumber : qAsConst(handled))
        ::signal(signalNumber, SIG_DFL);
    delete notifier;
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SignalNotifier::deliverPending()
{
    if (signalPipe[1] < 0)
        return;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t count = ::read(signalPipe[1], buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            emit received(buffer[i]);
    }
}
