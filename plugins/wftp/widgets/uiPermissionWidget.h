#pragma once

#include <WDataStructure.h>

#include <QDate>
#include <QWidget>

class QCheckBox;
class QDateEdit;
class QLabel;
class QPushButton;

// One permitted user of a shared folder as a row: the user's name, a "valid
// to" date, a permanent flag and the rights Read, Write, Delete and Full
// control, converted to and from the permitted-user record the account keeps.
// The rights are independent flags: no box sets or clears another.
class uiPermissionWidget : public QWidget
{
    Q_OBJECT

public:
    explicit uiPermissionWidget(QWidget *parent = nullptr);

    void setPermission(const QString &user, const QDate &validTo, bool permanent, bool read, bool write,
                       bool remove, bool full);
    void readPermission(const QSharedPointer<WDataStructure> &record);
    void writePermission(const QSharedPointer<WDataStructure> &record) const;
    QString getUsername() const;
    // Read, Write, Delete or Full control; the permanent flag is no right.
    bool hasAnyRight() const;

signals:
    // The row does not remove itself: the page that lists it does.
    void signalUserRemoved();

private slots:
    void on_pushButton_clicked();

private:
    QLabel *m_username;
    QDateEdit *m_validTo;
    QCheckBox *m_permanent;
    QCheckBox *m_read;
    QCheckBox *m_write;
    QCheckBox *m_delete;
    QCheckBox *m_full;
    QPushButton *m_remove;
};
