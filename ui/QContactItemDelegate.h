#pragma once

#include <QItemDelegate>

// Paints one contact row from the logged-in account: the selection
// highlight, the status image, the name, the first active activity's icon and
// the send (up) and receive (down) arrows filled to their progress. A row
// whose user is not a contact stays blank. Rows are 23 pixels high, taller
// when the font needs more.
class QContactItemDelegate : public QItemDelegate
{
    Q_OBJECT

public:
    static constexpr int RowHeight = 23;

    explicit QContactItemDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    static void paintArrow(QPainter *painter, const QString &resource, int x, int top, int percent);
};
