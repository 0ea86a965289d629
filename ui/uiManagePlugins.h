#pragma once

#include <QDialog>

class QPushButton;
class QTreeWidget;
class StagedDownload;

// "Plugins": the service's plug-in catalogue with a check box each, checked
// for the plug-ins loaded now. OK stages newly checked plug-ins in the
// "update" folder and records unchecked loaded ones in "pluginstoremove";
// the next start applies both.
class uiManagePlugins : public QDialog
{
    Q_OBJECT

public:
    explicit uiManagePlugins(QWidget *parent = nullptr);
    ~uiManagePlugins() override;

    void fillPluginList();
    QTreeWidget *pluginTree() const { return m_tree; }

public slots:
    // Ends a running download at once (logout); nothing of it is staged.
    void cancelDownloads();
    // Cancel, Escape and closing the dialog all end a running download:
    // nothing of what OK was doing is applied.
    void reject() override;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    QTreeWidget *m_tree = nullptr;
    QPushButton *m_ok = nullptr;
    StagedDownload *m_download = nullptr;
};
