#include "collectorframe.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

namespace collectorframe {

FrameStatus takeFrame(const QByteArray &buffer, int &readPos, quint32 &expectedSize, QByteArray &body)
{
    if (expectedSize == 0) {
        if (buffer.size() - readPos < 4)
            return FrameStatus::NeedMoreData;
        const auto *prefix = reinterpret_cast<const uchar *>(buffer.constData() + readPos);
        expectedSize = qFromBigEndian<quint32>(prefix);
        readPos += 4;
        if (expectedSize > maxFrameSize)
            return FrameStatus::OverLimit;
    }
    // expectedSize is at most maxFrameSize here, so the comparison cannot overflow.
    if (quint32(buffer.size() - readPos) < expectedSize)
        return FrameStatus::NeedMoreData;

    body = buffer.mid(readPos, int(expectedSize));
    readPos += int(expectedSize);
    expectedSize = 0;
    return FrameStatus::Frame;
}

bool parseFrameBody(const QByteArray &body, QJsonObject &object, QString &errorText)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        errorText = error.errorString();
        object = QJsonObject();
        return false;
    }
    object = document.isObject() ? document.object() : QJsonObject();
    return true;
}

void FrameReader::dropConsumed()
{
    if (readPos > 0) {
        buffer.remove(0, readPos);
        readPos = 0;
    }
}

void FrameReader::append(const QByteArray &bytes)
{
    if (overLimit)
        return;
    dropConsumed();
    buffer.append(bytes);
}

FrameStatus FrameReader::next(QByteArray &body)
{
    if (overLimit)
        return FrameStatus::OverLimit;
    const FrameStatus status = takeFrame(buffer, readPos, expectedSize, body);
    if (status == FrameStatus::NeedMoreData) {
        // The drain is over: keep only the start of the next frame.
        dropConsumed();
    } else if (status == FrameStatus::Frame && readPos == buffer.size()) {
        // Nothing follows the frame (the usual case): its bytes go now, before
        // the caller works on the body, not after.
        buffer.clear();
        readPos = 0;
    } else if (status == FrameStatus::OverLimit) {
        // Nothing after a bad prefix can be framed reliably: drop it all.
        buffer.clear();
        readPos = 0;
        overLimit = true;
    }
    return status;
}

void FrameReader::reset()
{
    buffer.clear();
    readPos = 0;
    expectedSize = 0;
    overLimit = false;
    ++resets;
}

} // namespace collectorframe
