#pragma once

#include <QDialog>

class uiWebFileProperties;

// The properties page of a published file in a plain dialog, for changing
// them later: the caller fills the page and reads it back after OK.
class uiWebFilePropertiesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit uiWebFilePropertiesDialog(QWidget *parent = nullptr);

    uiWebFileProperties *page() const { return m_page; }

public slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    uiWebFileProperties *m_page;
};
