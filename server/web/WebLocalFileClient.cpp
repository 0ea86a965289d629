#include "WebLocalFileClient.h"

#include "WebLocalBridge.h"

namespace {
const QString kCommandPrefix = QStringLiteral("WebLocal::wftp:::");
}

WebLocalFileClient::WebLocalFileClient(WebLocalBridge *bridge, const QString &user, int timeoutMs)
    : m_bridge(bridge), m_user(user), m_timeoutMs(timeoutMs)
{
}

KvrConfig WebLocalFileClient::ask(const QString &operation, KvrConfig request)
{
    if (!m_bridge)
        return KvrConfig();
    const QString command = kCommandPrefix + operation;
    request.sv(QStringLiteral("command"), command);
    const QString id = request.SetID();
    const KvrConfig reply = m_bridge->askUser(m_user, request, m_timeoutMs);
    if (reply.GetID() != id || reply.gv(QStringLiteral("command")) != command)
        return KvrConfig();
    return reply;
}

WebLocalFileClient::Answer WebLocalFileClient::answerOf(const KvrConfig &reply)
{
    if (reply.isEmpty())
        return Answer::NoAnswer;
    return reply.checkResult() ? Answer::Yes : Answer::No;
}

WebLocalFileClient::Answer WebLocalFileClient::checkAccessible(const QString &fileId, FileState *state)
{
    KvrConfig request;
    request.sv(QStringLiteral("fileid"), fileId);
    const KvrConfig reply = ask(QStringLiteral("checkFileIsAccessible"), request);
    const Answer answer = answerOf(reply);
    if (answer == Answer::Yes) {
        state->passwordRequired = reply.gv(QStringLiteral("passwordRequired")) == QLatin1String("true");
        state->fileName = reply.gv(QStringLiteral("filename"));
    }
    return answer;
}

WebLocalFileClient::Answer WebLocalFileClient::checkPassword(const QString &fileId, const QString &password)
{
    KvrConfig request;
    request.sv(QStringLiteral("fileid"), fileId);
    request.sv(QStringLiteral("password"), password);
    return answerOf(ask(QStringLiteral("checkFilePassword"), request));
}

WebLocalFileClient::Answer WebLocalFileClient::open(const QString &fileId, const QString &password,
                                                    QString *openId, qint64 *size)
{
    KvrConfig request;
    request.sv(QStringLiteral("fileid"), fileId);
    request.sv(QStringLiteral("password"), password);
    const KvrConfig reply = ask(QStringLiteral("openFile"), request);
    Answer answer = answerOf(reply);
    if (answer != Answer::Yes)
        return answer;
    *openId = reply.gv(QStringLiteral("openid"));
    bool sizeOk = false;
    *size = reply.GetValue(QStringLiteral("filesize")).toLongLong(&sizeOk);
    if (!sizeOk || *size < 0 || openId->isEmpty()) {
        // A reply we cannot use: give the file back rather than leave it open.
        if (!openId->isEmpty())
            close(*openId);
        return Answer::No;
    }
    return Answer::Yes;
}

bool WebLocalFileClient::read(const QString &openId, qint64 from, qint64 count, QByteArray *data)
{
    KvrConfig request;
    request.sv(QStringLiteral("openid"), openId);
    request.sv(QStringLiteral("from"), QString::number(from));
    request.sv(QStringLiteral("count"), QString::number(count));
    const KvrConfig reply = ask(QStringLiteral("readFile"), request);
    if (answerOf(reply) != Answer::Yes)
        return false;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        reply.GetValue(QStringLiteral("data")), QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() > count)
        return false;
    *data = decoded.decoded;
    return true;
}

bool WebLocalFileClient::close(const QString &openId)
{
    KvrConfig request;
    request.sv(QStringLiteral("openid"), openId);
    return answerOf(ask(QStringLiteral("closeFile"), request)) == Answer::Yes;
}
