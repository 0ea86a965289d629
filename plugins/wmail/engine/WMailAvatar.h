#pragma once

#include <QByteArray>

// A contact's picture as the page shows it: decoded with a bound on its
// declared size (the bytes come from the contact), fitted into size x size
// (kept as it is for -1), written as PNG. Empty when it does not decode.
class WMailAvatar
{
public:
    WMailAvatar() = delete;

    static constexpr int MaxSourceSide = 4096;
    static constexpr int MaxSide = 512;

    static QByteArray compose(const QByteArray &picture, int size);
};
