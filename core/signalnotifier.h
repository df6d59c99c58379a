#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Hands POSIX signals to the event loop.
//
// The handler itself only writes the signal number into one end of a socket
// pair, which is safe in signal context; a QSocketNotifier on the other end
// emits received() from the event loop, where any Qt call is allowed. The
// handlers stay installed until the object is destroyed, and every arrival is
// emitted once, in arrival order. Only one SignalNotifier may exist at a time.
class SignalNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SignalNotifier(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~SignalNotifier() override;

    // False when the socket pair or a handler could not be set up.
    bool isValid() const { return valid; }

    // Emits received() for every signal queued but not yet handed over; for
    // signals that arrive after the event loop has ended.
    void deliverPending();

signals:
    void received(int signalNumber);

private:

    QList<int> handled;
    QSocketNotifier *notifier = nullptr;
    bool valid = false;
};
