// libFuzzer target over the collector frame reader and the document decoder.
//
// The first input byte chooses how the rest is cut into reads; the rest is the
// byte stream as it would arrive on the socket. The stream is read twice, once
// in a single read and once cut into pieces, and both runs must produce the
// same frames and the same decoded records: a split must never change the
// framing. The frames must be those the format gives when read straight off
// the whole stream. The reader's memory must stay bounded by one frame plus
// one read.
#include "collectorframe.h"
#include "networkprocess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using collectorframe::FrameReader;
using collectorframe::FrameStatus;

namespace {

struct Event {
    int kind = 0;        // 0 frame, 1 parse error, 2 over limit
    QByteArray body;     // frames and parse errors
    bool isData = false;
    QList<NetworkProcess> processes;

    bool operator==(const Event &o) const
    {
        if (kind != o.kind || body != o.body || isData != o.isData || processes.size() != o.processes.size())
            return false;
        for (int i = 0; i < processes.size(); ++i) {
            const NetworkProcess &a = processes.at(i);
            const NetworkProcess &b = o.processes.at(i);
            // Speeds are compared bitwise-insensitive to NaN (JSON has none).
            if (a.pid != b.pid || a.comm != b.comm || a.tx_bytes != b.tx_bytes || a.rx_bytes != b.rx_bytes
                || !(a.tx_speed == b.tx_speed) || !(a.rx_speed == b.rx_speed))
                return false;
        }
        return true;
    }
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "collector frame fuzzer: %s\n", what);
    std::abort();
}

QList<Event> readStream(const QByteArray &stream, int chunkSeed)
{
    FrameReader reader;
    QList<Event> events;
    int offset = 0;
    int step = 0;
    while (offset < stream.size()) {
        // Chunk sizes cycle through a pattern derived from the seed (0: one read).
        int chunk = stream.size();
        if (chunkSeed != 0)
            chunk = 1 + ((chunkSeed * 31 + step * 7) % (chunkSeed % 23 + 1));
        ++step;
        const QByteArray piece = stream.mid(offset, chunk);
        offset += piece.size();
        reader.append(piece);
        if (qint64(reader.bufferedBytes()) > qint64(collectorframe::maxFrameSize) + 4 + piece.size())
            fail("reader holds more than one frame plus one read");

        QByteArray body;
        for (;;) {
            const FrameStatus status = reader.next(body);
            if (status == FrameStatus::NeedMoreData)
                break;
            Event event;
            if (status == FrameStatus::OverLimit) {
                if (reader.pendingSize() <= collectorframe::maxFrameSize)
                    fail("over-limit status for a length within the limit");
                event.kind = 2;
                events.append(event);
                return events; // the connection is closed here
            }
            if (quint32(body.size()) > collectorframe::maxFrameSize)
                fail("body longer than the limit");
            event.body = body;
            QJsonObject document;
            QString error;
            if (!collectorframe::parseFrameBody(body, document, error)) {
                if (error.isEmpty())
                    fail("parse error without a text");
                event.kind = 1;
            } else {
                event.isData = networkProcessesFromDocument(document, event.processes);
                if (!event.isData && !event.processes.isEmpty())
                    fail("records from a document that is no data document");
            }
            events.append(event);
        }
    }
    return events;
}

// The format read straight off the whole stream: the frame bodies, and
// whether a length over the limit ends them.
QList<QByteArray> formatBodies(const QByteArray &stream, bool &overLimit)
{
    QList<QByteArray> bodies;
    overLimit = false;
    int pos = 0;
    while (stream.size() - pos >= 4) {
        const quint32 length = qFromBigEndian<quint32>(stream.constData() + pos);
        pos += 4;
        if (length > collectorframe::maxFrameSize) {
            overLimit = true;
            break;
        }
        if (quint32(stream.size() - pos) < length)
            break;
        bodies.append(stream.mid(pos, int(length)));
        pos += int(length);
    }
    return bodies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int seed = data[0];
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QList<Event> whole = readStream(stream, 0);
    bool overLimit = false;
    const QList<QByteArray> expected = formatBodies(stream, overLimit);
    QList<QByteArray> bodies;
    for (const Event &event : whole) {
        if (event.kind != 2)
            bodies.append(event.body);
    }
    if (bodies != expected || overLimit != (!whole.isEmpty() && whole.last().kind == 2))
        fail("the frames differ from those of the format");
    const QList<Event> pieces = readStream(stream, seed == 0 ? 1 : seed);
    if (!(whole == pieces))
        fail("the split of the stream changed the frames");
    return 0;
}
