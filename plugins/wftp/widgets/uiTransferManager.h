#pragma once

#include "TransferWorker.h"

#include <QHash>
#include <QPointer>
#include <QSharedPointer>
#include <QWidget>

#include <functional>

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QMessageBox;
class QPushButton;
class QToolBar;
class TransferListModel;
class TransferManager;
class VisibleRowWidgets;
class uiTransferEntity;

// The content of the "Transfer Manager" dock: one row per transfer of the
// session, fed by the transfer list's model (workers never reach it), with a
// tool bar to clear finished or all transfers and to set how many move data
// at a time. Only the rows in sight have widgets, so thousands of transfers
// cost what a screenful does. The engine's manager owns the transfers and
// outlives the dock.
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
    // Null while the row is out of sight or before the event loop's next
    // turn has made its widget.
    uiTransferEntity *row(int i) const;

private slots:
    void on_actionClear_completed_triggered();
    void on_actionClear_all_triggered();
    void slotTransferTextChanged();

private:
    uiTransferEntity *makeRow(const QModelIndex &index);
    void showRows(int first, int last);
    // Asks the user whether to replace an existing target; `answer` gets
    // the choice (closing the box counts as no). The box goes with the
    // transfer. While another modal dialog is open (a file dialog the user
    // is in), the question waits for it instead of opening behind it.
    void askOverwrite(const QSharedPointer<TransferWorker> &transfer, const QString &target,
                      const std::function<void(TransferWorker::Answer)> &answer);
    void showQuestion(const QSharedPointer<TransferWorker> &transfer, const QString &target,
                      const std::function<void(TransferWorker::Answer)> &answer);

public:
    // The question for an existing target, its folder as the user reads it.
    static QString overwriteText(const QString &target);

private:
    void closeQuestion(const QSharedPointer<TransferWorker> &transfer);

    TransferManager &m_manager;
    TransferListModel *m_model;
    QAction *m_clearCompleted;
    QAction *m_clearAll;
    QToolBar *m_toolBar;
    QLabel *m_maxLabel;
    QLineEdit *m_maxField;
    QPushButton *m_changeButton;
    QListView *m_list;
    VisibleRowWidgets *m_rowWidgets;
    // The open overwrite question of each transfer that has one.
    QHash<const TransferWorker *, QPointer<QMessageBox>> m_questions;
};
