#pragma once

#include <QByteArray>

#include <cerrno>
#include <unistd.h>

// The whole of bytes written at offset of an open file, however many calls
// that takes: pwrite may write less than asked, and a signal may cut it short.
// False when the file takes no more; errno then tells why.
inline bool writeAllAt(int descriptor, const QByteArray &bytes, qint64 offset)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::pwrite(descriptor, bytes.constData() + done, size_t(bytes.size() - done),
                                         off_t(offset + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}
