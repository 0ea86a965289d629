#pragma once

#include "OwnerRequestGate.h"
#include "WebBodySource.h"
#include "WebLocalFileClient.h"

// The bytes of a web-shared file that its owner's client has opened, read
// from the client piece by piece and closed there when the transfer ends.
class SharedFileSource : public WebBodySource
{
public:
    // Pieces stay well below the record size a client link accepts, even as
    // Base64 text.
    static constexpr qint64 kPieceBytes = 256 * 1024;

    // pass: the owner's place at the gate, held until the transfer ends.
    SharedFileSource(const WebLocalFileClient &client, const QString &openId, qint64 size,
                     const OwnerRequestGate::Pass &pass);

    bool next(QByteArray *piece, bool *last) override;
    void finish() override;

private:
    WebLocalFileClient m_client;
    QString m_openId;
    qint64 m_size;
    qint64 m_position = 0;
    bool m_finished = false;
    OwnerRequestGate::Pass m_pass;
};
