#pragma once

#include <QTreeWidget>

// The contact list of the contacts panel: one row per contact, painted by
// QContactItemDelegate. Files dropped on it are accepted and change nothing;
// no drag starts from it.
class ContactList : public QTreeWidget
{
    Q_OBJECT

public:
    // What a row carries in column 0 besides its sort text.
    enum Role {
        UserRole = Qt::UserRole + 1,
        RefreshRole = Qt::UserRole + 2,
        SendProgressRole = Qt::UserRole + 3,
        ReceiveProgressRole = Qt::UserRole + 4,
    };

    explicit ContactList(QWidget *parent = nullptr);

protected:
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> items) const override;
    bool dropMimeData(QTreeWidgetItem *parent, int index, const QMimeData *data, Qt::DropAction action) override;
    Qt::DropActions supportedDropActions() const override;
};
