#pragma once

#include <QSet>
#include <QString>
#include <QTimer>
#include <QWidget>

class QListWidget;
class TransferMonitor;
class VisibleRowWidgets;
class uiTransferMonitorEntity;

// The content of the "Transfer Monitor" dock: the own files contacts have
// open now, one row each, as the engine's monitor keeps them. Rows change a
// few times a second however fast the contacts read, and only the rows in
// sight have widgets.
class uiTransferMonitor : public QWidget
{
    Q_OBJECT

public:
    static constexpr int RefreshMs = 250;
    static constexpr int RowHeight = 28;

    explicit uiTransferMonitor(TransferMonitor &monitor, QWidget *parent = nullptr);

    // Null while the row is out of sight or before the event loop's next
    // turn has made its widget.
    uiTransferMonitorEntity *row(int i) const;
    int rowCount() const;

public slots:
    // Any thread: the monitor takes them on its own.
    void slotAddTransfer(const QString &fileID, const QString &path, const QString &user);
    void slotRemoveTransfer(const QString &fileID);

private:
    void addRow(const QString &fileID);
    void removeRow(const QString &fileID);
    void refresh();

    TransferMonitor &m_monitor;
    QListWidget *m_list;
    VisibleRowWidgets *m_rowWidgets;
    QSet<QString> m_changed;
    QTimer m_refresh;
};
