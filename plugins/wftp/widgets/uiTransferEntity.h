#pragma once

#include <TransferWorker.h>

#include <QSharedPointer>
#include <QWidget>

class ElidedLabel;
class QLabel;
class QModelIndex;
class QProgressBar;
class QPushButton;
class QToolButton;

// One transfer's row in the Transfer Manager: direction, status line and
// percent as the list's model gives them, pause/resume and clear, and once
// the run has ended the buttons that open what arrived. It only shows the
// transfer and keeps nothing the model does not hold: the dock makes it
// again whenever the row comes into sight. Its worker is the engine's and
// outlives the row.
class uiTransferEntity : public QWidget
{
    Q_OBJECT

public:
    explicit uiTransferEntity(const QSharedPointer<TransferWorker> &transfer, QWidget *parent = nullptr);

    QSharedPointer<TransferWorker> transfer() const { return m_transfer; }
    // Takes the row's values from the transfer list's model.
    void showState(const QModelIndex &index);

signals:
    // The user confirmed clearing this transfer.
    void clearRequested();

private slots:
    void on_toolButton_clicked();
    void on_toolButton_2_clicked();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    void showPaused(bool paused);

    const QSharedPointer<TransferWorker> m_transfer;
    // -1 until first shown
    int m_shownDownload = -1;
    int m_shownPaused = -1;
    QLabel *m_icon;
    ElidedLabel *m_status;
    QProgressBar *m_progress;
    QPushButton *m_openFile;
    QPushButton *m_openFolder;
    QToolButton *m_pause;
    QToolButton *m_clear;
};
