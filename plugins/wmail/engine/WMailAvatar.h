#pragma once

#include <QByteArray>

// A contact's picture as the page shows it: decoded as PeerPicture decodes
// (the bytes come from the contact), fitted into size x size
// (kept as it is for -1), written as PNG. Empty when it does not decode.
class WMailAvatar
{
public:
    WMailAvatar() = delete;

    static constexpr int MaxSide = 512;

    static QByteArray compose(const QByteArray &picture, int size);
};
