#pragma once

// Two ways to talk HTTP to the web server in tests: raw bytes over a socket
// (for requests a well-behaved client never sends) and Qt's HTTP client.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>

struct HttpAnswer
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

// Splits what a server sent into its complete responses (each with a
// Content-Length).
inline QList<HttpAnswer> parseAnswers(QByteArray bytes)
{
    QList<HttpAnswer> answers;
    while (!bytes.isEmpty()) {
        const int end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            break;
        const QList<QByteArray> lines = bytes.left(end).split('\n');
        HttpAnswer answer;
        answer.status = lines.first().split(' ').value(1).toInt();
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            answer.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
        }
        const int length = answer.headers.value("content-length").toInt();
        if (bytes.size() < end + 4 + length)
            break;
        answer.body = bytes.mid(end + 4, length);
        bytes.remove(0, end + 4 + length);
        answers.append(answer);
    }
    return answers;
}

struct RawExchange
{
    QList<HttpAnswer> answers;
    bool closedByServer = false;
};

// Sends `request` as it is and collects what comes back until the server
// closes the connection or `answerCount` answers have arrived. `source`
// picks the local address (any of 127.0.0.0/8 on loopback) to come from.
inline RawExchange rawExchange(quint16 port, const QByteArray &request, int answerCount = 1,
                               const QHostAddress &source = QHostAddress())
{
    RawExchange exchange;
    QTcpSocket socket;
    if (!source.isNull() && !socket.bind(source))
        return exchange;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(10000))
        return exchange;
    socket.write(request);
    socket.waitForBytesWritten(10000);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        if (socket.waitForReadyRead(200))
            received += socket.readAll();
        if (socket.state() != QAbstractSocket::ConnectedState) {
            received += socket.readAll();
            exchange.closedByServer = true;
            break;
        }
        if (answerCount > 0 && parseAnswers(received).size() >= answerCount)
            break;
    }
    exchange.answers = parseAnswers(received);
    return exchange;
}

// Waits until the server closes the connection; false when it stays open.
inline bool waitForServerClose(QTcpSocket &socket, int limitMs = 15000)
{
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < limitMs) {
        socket.waitForReadyRead(100);
        socket.readAll();
    }
    return socket.state() != QAbstractSocket::ConnectedState;
}

struct QtAnswer
{
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
};

inline QtAnswer qtExchange(const QByteArray &verb, const QUrl &url, const QByteArray &body = QByteArray(),
                           const QByteArray &contentType = QByteArray())
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    if (!contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QNetworkReply *reply = manager.sendCustomRequest(request, verb, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QtAnswer answer;
    if (!finished.wait(30000)) {
        answer.error = QNetworkReply::TimeoutError;
        reply->abort();
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.error = reply->error();
    answer.body = reply->readAll();
    for (const QNetworkReply::RawHeaderPair &header : reply->rawHeaderPairs())
        answer.headers.insert(header.first.toLower(), header.second);
    delete reply;
    return answer;
}
