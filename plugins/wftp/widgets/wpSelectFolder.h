#pragma once

#include <QWizardPage>

class QLabel;
class QLineEdit;

// The first page of "New folder sharing": the local folder to share and the
// name its disc is shown under. It stores nothing but the folder last
// browsed to; the caller reads folderPath and displayName afterwards.
class wpSelectFolder : public QWizardPage
{
    Q_OBJECT

public:
    explicit wpSelectFolder(QWidget *parent = nullptr);

    // Refused, without a message, for a name with "/" or a folder that is gone.
    bool validatePage() override;

    QString folderPath;
    QString displayName;

private slots:
    void on_pushButton_clicked();
    void on_lineEdit_textChanged(const QString &text);

private:
    void takeFolder(const QString &path);

    QLineEdit *m_path;
    QLabel *m_current;
    QLineEdit *m_name;
};
