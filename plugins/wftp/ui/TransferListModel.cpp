#include "TransferListModel.h"

#include "TransferManager.h"

TransferListModel::TransferListModel(TransferManager &manager, QObject *parent) : QAbstractListModel(parent)
{
    for (const auto &transfer : manager.transfers())
        addRow(transfer);
    connect(&manager, &TransferManager::transferAdded, this, &TransferListModel::addRow);
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &TransferListModel::refresh);
    m_refresh.start();
}

int TransferListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant TransferListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return QVariant();
    const Row &row = *m_rows[size_t(index.row())];
    std::lock_guard<std::mutex> lock(row.mutex);
    if (role == Qt::DisplayRole)
        return row.text;
    if (role == PercentRole)
        return row.percent;
    return QVariant();
}

void TransferListModel::addRow(const QSharedPointer<TransferWorker> &transfer)
{
    beginInsertRows(QModelIndex(), int(m_rows.size()), int(m_rows.size()));
    m_rows.push_back(std::make_unique<Row>());
    Row *row = m_rows.back().get();
    row->transfer = transfer;
    endInsertRows();
    // Runs on the worker's thread: stores, never touches the model.
    const auto store = [row](const QString &text, int percent) {
        std::lock_guard<std::mutex> lock(row->mutex);
        row->text = text;
        if (percent >= 0)
            row->percent = percent;
        row->changed = true;
    };
    connect(transfer.data(), &TransferWorker::statusText, this, [store](const QString &text) { store(text, -1); },
            Qt::DirectConnection);
    connect(transfer.data(), &TransferWorker::progress, this,
            [store](const QString &name, int percent, double speed, int item, int items) {
                store(name + QLatin1Char(' ') + tr("speed") + QLatin1String(": ") + QString::number(qint64(speed)) +
                          QLatin1String(" Kb/s, ") + QString::number(item) + QLatin1Char(' ') + tr("of") +
                          QLatin1Char(' ') + QString::number(items),
                      percent);
            },
            Qt::DirectConnection);
}

void TransferListModel::refresh()
{
    for (size_t i = 0; i < m_rows.size(); ++i) {
        bool changed;
        {
            std::lock_guard<std::mutex> lock(m_rows[i]->mutex);
            changed = m_rows[i]->changed;
            m_rows[i]->changed = false;
        }
        if (changed)
            emit dataChanged(index(int(i)), index(int(i)));
    }
}
