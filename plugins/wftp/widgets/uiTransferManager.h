#pragma once

#include <QList>
#include <QPersistentModelIndex>
#include <QSharedPointer>
#include <QTimer>
#include <QWidget>

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QToolBar;
class TransferListModel;
class TransferManager;
class TransferWorker;
class uiTransferEntity;

// The content of the "Transfer Manager" dock: one row per transfer of the
// session, fed by the transfer list's model (workers never reach it), with a
// tool bar to clear finished or all transfers and to set how many move data
// at a time. The engine's manager owns the transfers and outlives the dock.
class uiTransferManager : public QWidget
{
    Q_OBJECT

public:
    explicit uiTransferManager(TransferManager &manager, QWidget *parent = nullptr);
    ~uiTransferManager() override;

    // Shows n in the field and lets n transfers move at once (n <= 0 is ignored).
    void setMaxTransfers(int n);
    // Stops every transfer; each row goes once its worker has returned.
    void stopAllTransfers();
    uiTransferEntity *row(int i) const;

private slots:
    void on_actionClear_completed_triggered();
    void on_actionClear_all_triggered();
    void slotTransferTextChanged();

private:
    void addRows(int first, int last);
    void makePendingRows();
    uiTransferEntity *makeRow(const QModelIndex &index);
    void showRows(int first, int last);
    // Made at once when its turn has not come yet.
    uiTransferEntity *rowOf(const TransferWorker *transfer);

    TransferManager &m_manager;
    TransferListModel *m_model;
    QAction *m_clearCompleted;
    QAction *m_clearAll;
    QToolBar *m_toolBar;
    QLabel *m_maxLabel;
    QLineEdit *m_maxField;
    QPushButton *m_changeButton;
    QListView *m_list;
    // Rows whose widgets are still to be made: made in slices, so a burst of
    // transfers never holds the event loop long.
    QList<QPersistentModelIndex> m_pendingRows;
    QTimer m_makeRows;
};
