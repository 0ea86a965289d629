#include "TransferListModel.h"

#include "TransferManager.h"

#include <QSize>
#include <QUuid>

#include <algorithm>
#include <unordered_set>

TransferListModel::TransferListModel(TransferManager &manager, QObject *parent) : QAbstractListModel(parent)
{
    m_applyChanges.setSingleShot(true);
    m_applyChanges.setInterval(0);
    connect(&m_applyChanges, &QTimer::timeout, this, &TransferListModel::applyArrivalsAndDepartures);
    for (const auto &transfer : manager.transfers())
        addRow(transfer);
    applyArrivalsAndDepartures();
    connect(&manager, &TransferManager::transferAdded, this, &TransferListModel::addRow);
    connect(&manager, &TransferManager::transferRemoved, this, &TransferListModel::removeRow);
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
    const TransferWorker &transfer = *row.transfer;
    switch (role) {
    case Qt::DisplayRole: {
        std::lock_guard<std::mutex> lock(row.mutex);
        return row.text;
    }
    case PercentRole: {
        std::lock_guard<std::mutex> lock(row.mutex);
        return row.percent;
    }
    case TransferIdRole:
        return row.id;
    case DownloadRole:
        return transfer.isDownload();
    case StageRole:
        if (transfer.hasReturned())
            return Ended;
        if (transfer.isPaused())
            return Paused;
        return transfer.hasStarted() ? Moving : Waiting;
    case Qt::SizeHintRole:
        return QSize(0, RowHeight);
    default:
        return QVariant();
    }
}

QSharedPointer<TransferWorker> TransferListModel::transfer(const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return nullptr;
    return m_rows[size_t(index.row())]->transfer;
}

QString TransferListModel::progressText(const QString &name, double speed, int item, int items)
{
    return name + QLatin1Char(' ') + tr("speed") + QLatin1String(": ") + QString::number(qint64(speed)) +
           QLatin1String(" KB/s, ") + QString::number(item) + QLatin1Char(' ') + tr("of") + QLatin1Char(' ') +
           QString::number(items);
}

void TransferListModel::addRow(const QSharedPointer<TransferWorker> &transfer)
{
    const auto row = std::make_shared<Row>();
    row->transfer = transfer;
    row->id = QUuid::createUuid().toString();
    row->text = tr("initializing");
    m_arrived.push_back(row);
    if (!m_applyChanges.isActive())
        m_applyChanges.start();
    // Runs on the worker's thread: stores, never touches the model. The row
    // is shared, so a late report after its removal lands nowhere harmful.
    const auto store = [row](const QString &text, int percent) {
        std::lock_guard<std::mutex> lock(row->mutex);
        if (!text.isNull())
            row->text = text;
        if (percent >= 0)
            row->percent = percent;
        row->changed = true;
    };
    connect(transfer.data(), &TransferWorker::statusText, this, [store](const QString &text) { store(text, -1); },
            Qt::DirectConnection);
    connect(transfer.data(), &TransferWorker::progress, this,
            [store](const QString &name, int percent, double speed, int item, int items) {
                store(progressText(name, speed, item, items), percent);
            },
            Qt::DirectConnection);
    // The run's end shows even when its last text came just before.
    connect(transfer.data(), &TransferWorker::finished, this, [store] { store(QString(), -1); },
            Qt::DirectConnection);
}

void TransferListModel::removeRow(const QSharedPointer<TransferWorker> &transfer)
{
    transfer->disconnect(this);
    const auto arrived = std::find_if(m_arrived.begin(), m_arrived.end(),
                                      [&](const std::shared_ptr<Row> &row) { return row->transfer == transfer; });
    if (arrived != m_arrived.end()) {
        m_arrived.erase(arrived);
        return;
    }
    m_departed.push_back(transfer.data());
    if (!m_applyChanges.isActive())
        m_applyChanges.start();
}

void TransferListModel::applyArrivalsAndDepartures()
{
    if (!m_departed.empty()) {
        const std::unordered_set<const TransferWorker *> departed(m_departed.begin(), m_departed.end());
        m_departed.clear();
        // From the end, one removal per run of neighbouring rows, so the
        // rows before a run keep their places.
        for (int last = int(m_rows.size()) - 1; last >= 0; --last) {
            if (!departed.count(m_rows[size_t(last)]->transfer.data()))
                continue;
            int first = last;
            while (first > 0 && departed.count(m_rows[size_t(first - 1)]->transfer.data()))
                --first;
            beginRemoveRows(QModelIndex(), first, last);
            m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
            endRemoveRows();
            last = first;
        }
    }
    if (!m_arrived.empty()) {
        beginInsertRows(QModelIndex(), int(m_rows.size()), int(m_rows.size() + m_arrived.size()) - 1);
        m_rows.insert(m_rows.end(), m_arrived.begin(), m_arrived.end());
        m_arrived.clear();
        endInsertRows();
    }
}

void TransferListModel::refresh()
{
    // One dataChanged per run of neighbouring changed rows: thousands of
    // transfers ending together cost the view a few passes, not thousands.
    int runStart = -1;
    for (size_t i = 0; i <= m_rows.size(); ++i) {
        bool changed = false;
        if (i < m_rows.size()) {
            std::lock_guard<std::mutex> lock(m_rows[i]->mutex);
            changed = m_rows[i]->changed;
            m_rows[i]->changed = false;
        }
        if (changed && runStart < 0)
            runStart = int(i);
        if (!changed && runStart >= 0) {
            emit dataChanged(index(runStart), index(int(i) - 1));
            runStart = -1;
        }
    }
}
