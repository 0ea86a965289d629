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
// a second, one dataChanged per run of neighbouring changed rows. Rows come
// and go at the next turn of the event loop, all that came or went within
// one turn together: a view lays its rows out once, not once per transfer.
class TransferListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        // the row's key, a braced UUID
        TransferIdRole = Qt::UserRole + 1,
        PercentRole,
        DownloadRole,
        StageRole,
    };
    enum Stage { Waiting, Moving, Paused, Ended };
    static constexpr int RefreshMs = 250;
    static constexpr int RowHeight = 31;

    explicit TransferListModel(TransferManager &manager, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QSharedPointer<TransferWorker> transfer(const QModelIndex &index) const;

    // "<name> speed: <speed> KB/s, <item> of <items>"
    static QString progressText(const QString &name, double speed, int item, int items);

private:
    struct Row
    {
        QSharedPointer<TransferWorker> transfer;
        QString id;
        mutable std::mutex mutex;
        QString text;
        int percent = 0;
        bool changed = false;
    };

    void addRow(const QSharedPointer<TransferWorker> &transfer);
    void removeRow(const QSharedPointer<TransferWorker> &transfer);
    void applyArrivalsAndDepartures();
    void refresh();

    std::vector<std::shared_ptr<Row>> m_rows;
    // Transfers added since the last turn, not rows yet.
    std::vector<std::shared_ptr<Row>> m_arrived;
    // Rows whose transfers were removed since the last turn.
    std::vector<const TransferWorker *> m_departed;
    QTimer m_applyChanges;
    QTimer m_refresh;
};
