#pragma once

#include "KvrConfig.h"

#include <QString>

class WebLocalBridge;

// Asks one user's client about the files that user shares on the web, with
// the "WebLocal::wftp:::" requests. Every call blocks for at most the
// time-out given at construction.
class WebLocalFileClient
{
public:
    enum class Answer {
        Yes,       // the client answered with success
        No,        // the client answered with failure
        NoAnswer,  // the user is offline or the client did not answer in time
    };

    struct FileState
    {
        bool passwordRequired = false;
        QString fileName;
    };

    WebLocalFileClient(WebLocalBridge *bridge, const QString &user, int timeoutMs);

    Answer checkAccessible(const QString &fileId, FileState *state);
    Answer checkPassword(const QString &fileId, const QString &password);
    Answer open(const QString &fileId, const QString &password, QString *openId, qint64 *size);
    // Up to `count` bytes from `from`; *data is empty past the file's end.
    bool read(const QString &openId, qint64 from, qint64 count, QByteArray *data);
    bool close(const QString &openId);

private:
    // Sends the request and gives the client's reply; an empty record when
    // nothing came or the reply does not belong to the request.
    KvrConfig ask(const QString &operation, KvrConfig request);
    static Answer answerOf(const KvrConfig &reply);

    WebLocalBridge *m_bridge;
    QString m_user;
    int m_timeoutMs;
};
