#pragma once

#include <QDialog>

class QTextEdit;

// Shows the links of files just published, for the user to copy and send.
class uiLinksDisplay : public QDialog
{
    Q_OBJECT

public:
    static constexpr int MaxWidth = 900;

    explicit uiLinksDisplay(QWidget *parent = nullptr);

    void setLinks(const QString &links);

public slots:
    // Copies the text as the user left it, then closes.
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    QTextEdit *m_textEdit;
};
