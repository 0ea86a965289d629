#pragma once

#include <QString>
#include <QWidget>

class ElidedLabel;
class QLabel;
class TransferMonitor;

// One own file a contact has open: its path with the bytes the contact
// read from it or wrote to it (the direction of the last operation), and
// the contact's name.
class uiTransferMonitorEntity : public QWidget
{
    Q_OBJECT

public:
    explicit uiTransferMonitorEntity(const QString &fileID, QWidget *parent = nullptr);

    QString fileID() const { return m_fileID; }
    // Takes the file's line from the monitor.
    void showState(const TransferMonitor &monitor);

private:
    const QString m_fileID;
    QLabel *m_icon;
    ElidedLabel *m_amount;
    QLabel *m_user;
};
