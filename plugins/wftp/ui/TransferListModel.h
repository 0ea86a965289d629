#pragma once

#include "TransferWorker.h"

#include <QAbstractListModel>
#include <QSharedPointer>
#include <QTimer>

#include <memory>
#include <mutex>
#include <vector>

class TransferManager;

// The transfer list as the GUI shows it: one row per transfer, its status
// line and percent. Workers report per chunk on their own threads; the
// latest values are kept under a lock and the view hears of them a few times
// a second, one dataChanged per changed row.
class TransferListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role { PercentRole = Qt::UserRole + 1 };
    static constexpr int RefreshMs = 250;

    explicit TransferListModel(TransferManager &manager, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    struct Row
    {
        QSharedPointer<TransferWorker> transfer;
        mutable std::mutex mutex;
        QString text;
        int percent = 0;
        bool changed = false;
    };

    void addRow(const QSharedPointer<TransferWorker> &transfer);
    void refresh();

    std::vector<std::unique_ptr<Row>> m_rows;
    QTimer m_refresh;
};
