#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The collector's frame format, kept free of sockets and QObject so it can be
// driven directly (tests, fuzzing, benchmarks). Each frame is a 4-byte
// big-endian unsigned length followed by that many bytes of UTF-8 JSON.
namespace collectorframe {

// Largest body accepted, in bytes (1 MiB); the length is compared unsigned.
constexpr quint32 maxFrameSize = 1048576;

enum class FrameStatus {
    NeedMoreData, // wait for more bytes
    Frame,        // `body` holds one complete frame body
    OverLimit,    // the announced length exceeds maxFrameSize; the stream is unusable
};

// Takes the next frame out of `buffer`, starting at `readPos`. `expectedSize`
// is the body length of a frame whose prefix was already consumed (0: a
// prefix is needed next). On Frame, `body` is set and `readPos` moves past it;
// on OverLimit, `expectedSize` holds the announced length. Consumed bytes are
// not removed, so a caller can drain several frames and compact once.
FrameStatus takeFrame(const QByteArray &buffer, int &readPos, quint32 &expectedSize, QByteArray &body);

// Parses a frame body. On success `object` is the top-level object (an empty
// object when the top level is not an object). On failure `errorText` holds
// the parser's message.
bool parseFrameBody(const QByteArray &body, QJsonObject &object, QString &errorText);

// The whole reader in one piece, as the socket client runs it: append the
// bytes of a read, then call next() until it returns NeedMoreData; the bytes
// consumed by that drain are dropped in one go when it ends, or at once when a
// frame takes the last byte buffered. Memory held is bounded by the largest
// frame plus the bytes of one read. After OverLimit the reader discards
// everything and keeps answering OverLimit until reset().
class FrameReader
{
public:
    void append(const QByteArray &bytes);
    FrameStatus next(QByteArray &body);
    // Forgets every byte and any partial frame: the next byte read is taken
    // for the start of a length prefix.
    void reset();
    // Counts the resets, so a caller draining frames can tell whether code it
    // called meanwhile reset the reader.
    quint64 generation() const { return resets; }
    quint32 pendingSize() const { return expectedSize; }
    int bufferedBytes() const { return buffer.size() - readPos; }

private:
    void dropConsumed();

    QByteArray buffer;
    bool overLimit = false;
    int readPos = 0;
    quint32 expectedSize = 0;
    quint64 resets = 0;
};

} // namespace collectorframe
