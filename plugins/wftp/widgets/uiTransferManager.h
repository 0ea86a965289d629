#pragma once

#include <QSharedPointer>
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
    void showRows(int first, int last);
    uiTransferEntity *rowOf(const TransferWorker *transfer) const;

    TransferManager &m_manager;
    TransferListModel *m_model;
    QAction *m_clearCompleted;
    QAction *m_clearAll;
    QToolBar *m_toolBar;
    QLabel *m_maxLabel;
    QLineEdit *m_maxField;
    QPushButton *m_changeButton;
    QListView *m_list;
};
