#include "instanceguard.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstanceGuard::~InstanceGuard()
{
    release();
}

InstanceGuard::Result InstanceGuard::acquire(const QString &lockFile)
{
    release();
    const QByteArray path = QFile::encodeName(lockFile);
    // No link is followed, and the collector and other children do not
    // inherit the descriptor (they would hold the lock after our death).
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        failure = QStringLiteral("%1: %2").arg(lockFile, QString::fromLocal8Bit(std::strerror(errno)));
        return Failed;
    }
    struct stat info = {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        failure = QStringLiteral("%1: not a regular file of our own user").arg(lockFile);
        ::close(descriptor);
        return Failed;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(descriptor);
        if (error == EWOULDBLOCK)
            return HeldElsewhere;
        failure = QStringLiteral("%1: %2").arg(lockFile, QString::fromLocal8Bit(std::strerror(error)));
        return Failed;
    }
    fd = descriptor;
    return Acquired;
}

void InstanceGuard::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
