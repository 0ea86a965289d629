#include "WGraphicsOperations.h"

#include <QPainter>

#include <algorithm>

namespace {

QImage scaledInto(const QImage &image, int size)
{
    if (image.isNull() || size <= 0)
        return QImage();
    return image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QString statusResource(int status)
{
    switch (status) {
    case 1:
        return QStringLiteral(":/Wivora/Resources/status_online.png");
    case 2:
        return QStringLiteral(":/Wivora/Resources/status_away.png");
    case 3:
        return QStringLiteral(":/Wivora/Resources/status_dontdisturb.png");
    default:
        return QStringLiteral(":/Wivora/Resources/status_offline.png");
    }
}

} // namespace

QImage WGraphicsOperations::getAvatarImage(const QImage &avatar, int size)
{
    QImage background = scaledInto(QImage(QStringLiteral(":/Wivora/Resources/avatarback.jpg")), size);
    const QImage picture = scaledInto(avatar, size);
    if (background.isNull() || picture.isNull())
        return background;
    QPainter painter(&background);
    painter.drawImage(size / 2 - picture.width() / 2, size / 2 - picture.height() / 2, picture);
    painter.end();
    return background;
}

QImage WGraphicsOperations::getStatusImage(int status, int size)
{
    return scaledInto(QImage(statusResource(status)), size);
}

QImage WGraphicsOperations::getFlagImage(const QString &countryCode, int size)
{
    // Codes come from other users' vCards: letters only, so that nothing
    // else can steer the resource path.
    if (countryCode.isEmpty()
        || !std::all_of(countryCode.begin(), countryCode.end(), [](QChar c) { return c.isLetter(); }))
        return QImage();
    const QString path = QStringLiteral(":/Flags/Resources/") + countryCode + QStringLiteral(".png");
    return scaledInto(QImage(path), size);
}
