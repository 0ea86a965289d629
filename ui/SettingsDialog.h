#pragma once

#include <QDialog>

class QListWidget;
class QListWidgetItem;
class QStackedWidget;

// "Wivora settings": an icon list of pages on the left, the chosen page on
// the right, and a Close button. Pages are only added.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);

    void addPage(QWidget *page, const QIcon &icon, const QString &text);

    QListWidget *contentsList() const { return m_contents; }
    QStackedWidget *pages() const { return m_pages; }

public slots:
    void changePage(QListWidgetItem *current, QListWidgetItem *previous);

private:
    QListWidget *m_contents = nullptr;
    QStackedWidget *m_pages = nullptr;
};
