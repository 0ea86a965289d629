#pragma once

#include <QImage>
#include <QObject>
#include <QString>

// The small images the widgets show: avatars, status icons and flags. Each
// operation returns a new image of at most size x size (the source's aspect
// ratio kept); a missing source gives a null image.
class WGraphicsOperations : public QObject
{
    Q_OBJECT

public:
    WGraphicsOperations() = delete;

    // The avatar centred on the avatar background, size x size.
    static QImage getAvatarImage(const QImage &avatar, int size);
    // 1 online, 2 away, 3 do not disturb, anything else offline.
    static QImage getStatusImage(int status, int size);
    // The flag of a two-letter country code ("PL").
    static QImage getFlagImage(const QString &countryCode, int size);
};
