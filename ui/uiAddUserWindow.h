#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// "Find User": searches the service's user directory and adds the chosen
// users to the contacts.
class uiAddUserWindow : public QDialog
{
    Q_OBJECT

public:
    // Shorter texts search nothing.
    static constexpr int MinimumSearchLength = 3;

    explicit uiAddUserWindow(QWidget *parent = nullptr);

    QTreeWidget *results() const { return m_results; }

private slots:
    void on_treeWidget_itemActivated(QTreeWidgetItem *item, int column);
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_clicked();

private:
    QLineEdit *m_searchText = nullptr;
    QTreeWidget *m_results = nullptr;
    QPushButton *m_search = nullptr;
    QPushButton *m_add = nullptr;
    QPushButton *m_cancel = nullptr;
};
