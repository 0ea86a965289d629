#include "QContactItemDelegate.h"

#include <algorithm>

#include "ContactList.h"
#include "MainClass.h"
#include "WGraphicsOperations.h"

#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QBitmap>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QContactItemDelegate::QContactItemDelegate(QObject *parent)
    : QItemDelegate(parent)
{
}

void QContactItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                 const QModelIndex &index) const
{
    const QRect r = option.rect;
    const QString user = index.data(ContactList::UserRole).toString();
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    if (!account)
        return;
    const WDataStructure::Pointer contact =
        account->contactsData->GetStructureByValue(QStringLiteral("section"), user);
    if (!contact)
        return;
    painter->save();

    if (option.state & QStyle::State_Selected) {
        QLinearGradient glass(r.x(), r.y(), r.x(), r.bottom());
        glass.setColorAt(0, QColor(255, 255, 255, 128));
        glass.setColorAt(0.4999, QColor(255, 255, 255, 60));
        glass.setColorAt(0.5, QColor(255, 255, 255, 10));
        glass.setColorAt(1, QColor(255, 255, 255, 30));
        QPainterPath outline;
        outline.addRoundedRect(QRectF(r.x(), r.y(), r.width() - 2, r.height() - 2), 4, 4, Qt::AbsoluteSize);
        painter->fillPath(outline, glass);
        painter->setPen(QColor(0, 21, 58, 100));
        painter->drawPath(outline);
        painter->setPen(QColor(0, 0, 0, 255));
    }

    const QString statusText = contact->gv(QStringLiteral("status"));
    const QImage status = WGraphicsOperations::getStatusImage(statusText.isEmpty() ? 0 : statusText.toInt(), 17);
    QString name = contact->gv(QStringLiteral("fullName"));
    if (name.isEmpty())
        name = contact->gv(QStringLiteral("username"));

    paintArrow(painter, QStringLiteral(":/Wivora/Resources/Arrow-Up.bmp"), r.width() - 16, r.top(),
               index.data(ContactList::SendProgressRole).toInt());
    paintArrow(painter, QStringLiteral(":/Wivora/Resources/Arrow-Down.bmp"), r.width() - 32, r.top(),
               index.data(ContactList::ReceiveProgressRole).toInt());

    const WDataStructure::Pointer activities =
        account->contactsData->getSettingStructure(contact->gv(QStringLiteral("username")) + QStringLiteral("/activities"));
    if (activities) {
        const KvrConfig values = activities->values();
        for (int i = 0; i < values.size(); ++i) {
            if (values.GetValue(i) != "1")
                continue;
            const QImage icon = QImage::fromData(
                account->settingsData->getSetting(QStringLiteral("activityhandlers/") + values.GetKey(i)));
            if (!icon.isNull())
                painter->drawImage(r.width() - 45, r.top() + 3,
                                   icon.scaled(15, 15, Qt::KeepAspectRatio, Qt::SmoothTransformation));
            break;
        }
    }

    painter->drawImage(r.left() + 3, r.top() + 3, status);
    // Names come from other users: drawn as plain text, cut to the room left
    // of the icons.
    const QRect textRect(r.left() + 27, r.top(), r.width() - 81, r.height());
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                      painter->fontMetrics().elidedText(name, Qt::ElideRight, textRect.width()));
    painter->restore();
}

void QContactItemDelegate::paintArrow(QPainter *painter, const QString &resource, int x, int top, int percent)
{
    if (percent < 0)
        return;
    const double share = qMin(percent, 100) / 100.0;
    QRegion arrow{QBitmap(resource)};
    arrow.translate(x, top + 3);
    QLinearGradient fill(x, top + 3, x, top + 18);
    fill.setColorAt(0, Qt::white);
    fill.setColorAt(1 - share, Qt::white);
    if (1 - share + 0.0001 <= 1)
        fill.setColorAt(1 - share + 0.0001, QColor(0, 0, 121));
    fill.setColorAt(1, QColor(0, 0, 121));
    painter->save();
    painter->setClipRegion(arrow);
    painter->fillRect(arrow.boundingRect(), fill);
    painter->restore();
}

QSize QContactItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    Q_UNUSED(index)
    // Room for the name's line and the 17-pixel status image.
    return QSize(option.rect.width(), std::max<int>(RowHeight, option.fontMetrics.height() + 2));
}
