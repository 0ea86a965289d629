#pragma once

#include <QDateTime>
#include <QString>
#include <QWizardPage>

class QDateTimeEdit;
class QLineEdit;

// The two properties of a file published on the web: when it stops being
// published and the password a downloader must give (empty: none). The
// editors and the two members are apart: the caller sets the members and
// calls showValues, or calls readValues and takes the members.
class uiWebFileProperties : public QWizardPage
{
    Q_OBJECT

public:
    explicit uiWebFileProperties(QWidget *parent = nullptr);

    // Editors := members.
    void showValues();
    // Members := editors.
    void readValues();

    QDateTime validTo;
    QString password;

private:
    QDateTimeEdit *m_dateTimeEdit;
    QLineEdit *m_lineEdit;
};
