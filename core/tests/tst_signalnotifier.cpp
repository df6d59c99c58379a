// Signals handed to the event loop through the socket-pair bridge.
#include "signalnotifier.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class TestSignalNotifier : public QObject
{
    Q_OBJECT

private slots:
    void eachSignalIsEmittedFromTheEventLoopInArrivalOrder();
    void handlersStayInstalledAfterTheFirstSignal();
    void signalsQueuedWithoutAnEventLoopAreDeliveredOnRequest();
    void destructionRestoresTheDefaultAction();
};

void TestSignalNotifier::eachSignalIsEmittedFromTheEventLoopInArrivalOrder()
{
    SignalNotifier notifier{SIGTERM, SIGINT};
    QVERIFY(notifier.isValid());
    QSignalSpy spy(&notifier, &SignalNotifier::received);
    ::raise(SIGTERM);
    ::raise(SIGINT);
    ::raise(SIGTERM);
    // Nothing is emitted from the handler itself.
    QCOMPARE(spy.count(), 0);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toInt(), SIGTERM);
    QCOMPARE(spy.at(1).at(0).toInt(), SIGINT);
    QCOMPARE(spy.at(2).at(0).toInt(), SIGTERM);
}

void TestSignalNotifier::handlersStayInstalledAfterTheFirstSignal()
{
    SignalNotifier notifier{SIGTERM};
    QSignalSpy spy(&notifier, &SignalNotifier::received);
    ::raise(SIGTERM);
    QTRY_COMPARE(spy.count(), 1);
    ::raise(SIGTERM);
    QTRY_COMPARE(spy.count(), 2);
}

void TestSignalNotifier::signalsQueuedWithoutAnEventLoopAreDeliveredOnRequest()
{
    SignalNotifier notifier{SIGTERM, SIGINT};
    QSignalSpy spy(&notifier, &SignalNotifier::received);
    ::raise(SIGINT);
    ::raise(SIGTERM);
    // No event is processed: the request alone hands them over, in order.
    notifier.deliverPending();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toInt(), SIGINT);
    QCOMPARE(spy.at(1).at(0).toInt(), SIGTERM);
    notifier.deliverPending();
    QCOMPARE(spy.count(), 2);
}

void TestSignalNotifier::destructionRestoresTheDefaultAction()
{
    {
        SignalNotifier notifier{SIGTERM};
        struct sigaction current = {};
        QCOMPARE(::sigaction(SIGTERM, nullptr, &current), 0);
        QVERIFY(current.sa_handler != SIG_DFL);
    }
    struct sigaction current = {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_DFL);
    // A new bridge can be set up after the old one is gone.
    SignalNotifier again{SIGTERM};
    QVERIFY(again.isValid());
}

QTEST_GUILESS_MAIN(TestSignalNotifier)
#include "tst_signalnotifier.moc"
