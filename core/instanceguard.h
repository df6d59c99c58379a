#pragma once

#include <QString>

// The daemon's single-instance guard: an exclusive advisory lock on a file in
// the data directory. The kernel drops the lock with the last descriptor, so
// no kind of death leaves it behind, and only users who may write the data
// directory (root) can create or hold the file.
class InstanceGuard
{
public:
    enum Result { Acquired, HeldElsewhere, Failed };

    InstanceGuard() = default;
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

    // Never blocks. On Failed, error() says why.
    Result acquire(const QString &lockFile);
    void release();
    QString error() const { return failure; }

private:
    int fd = -1;
    QString failure;
};
