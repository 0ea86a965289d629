#include "uiPermissionWidget.h"

#include "FormControls.h"
#include "ShareRights.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

uiPermissionWidget::uiPermissionWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("uiPermissionWidget"));
    resize(428, 94);
    auto *group = new QGroupBox(this);
    group->setObjectName(QStringLiteral("groupBox"));

    m_username = FormControls::heading(QStringLiteral("label_Username"), QStringLiteral("TextLabel"), 8, group);
    // A user name is never markup.
    m_username->setTextFormat(Qt::PlainText);
    m_validTo = new QDateEdit(QDate::currentDate(), group);
    m_validTo->setObjectName(QStringLiteral("dateEdit"));
    m_validTo->setCalendarPopup(true);
    m_permanent = FormControls::checkBox(QStringLiteral("checkBox_permission"), tr("Permanent permission"), group);
    m_read = FormControls::checkBox(QStringLiteral("checkBox_read"), tr("Read"), group);
    m_write = FormControls::checkBox(QStringLiteral("checkBox_write"), tr("Write"), group);
    m_delete = FormControls::checkBox(QStringLiteral("checkBox_delete"), tr("Delete"), group);
    m_full = FormControls::checkBox(QStringLiteral("checkBox_full"), tr("Full control"), group);
    m_remove = new QPushButton(tr("Delete user"), group);
    m_remove->setObjectName(QStringLiteral("pushButton"));

    auto *grid = new QGridLayout(group);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(FormControls::label(QStringLiteral("label"), tr("Username:"), group), 0, 0);
    grid->addWidget(m_username, 0, 1, 1, 2);
    grid->addWidget(FormControls::label(QStringLiteral("label_2"), tr("Valid to:"), group), 1, 0);
    grid->addWidget(m_validTo, 1, 1);
    grid->addWidget(m_permanent, 1, 2);
    auto *rights = new QHBoxLayout;
    for (QWidget *right : {m_read, m_write, m_delete, m_full})
        rights->addWidget(right);
    rights->addStretch();
    rights->addWidget(m_remove);
    grid->addLayout(rights, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(2, 2, 2, 2);
    outer->addWidget(group);
    QMetaObject::connectSlotsByName(this);
}

void uiPermissionWidget::setPermission(const QString &user, const QDate &validTo, bool permanent, bool read,
                                       bool write, bool remove, bool full)
{
    m_username->setText(user);
    m_validTo->setDate(validTo);
    m_permanent->setChecked(permanent);
    m_read->setChecked(read);
    m_write->setChecked(write);
    m_delete->setChecked(remove);
    m_full->setChecked(full);
}

void uiPermissionWidget::readPermission(const QSharedPointer<WDataStructure> &record)
{
    if (!record)
        return;
    m_username->setText(record->gv(QStringLiteral("username")));
    // An unreadable date keeps the one shown.
    const QDate validTo = QDateTime::fromString(record->gv(QStringLiteral("validTo")), Qt::ISODate).date();
    if (validTo.isValid())
        m_validTo->setDate(validTo);
    m_permanent->setChecked(ShareRights::flagSet(*record, QStringLiteral("permanent")));
    m_read->setChecked(ShareRights::flagSet(*record, QStringLiteral("read")));
    m_write->setChecked(ShareRights::flagSet(*record, QStringLiteral("write")));
    m_delete->setChecked(ShareRights::flagSet(*record, QStringLiteral("delete")));
    m_full->setChecked(ShareRights::flagSet(*record, QStringLiteral("full")));
}

void uiPermissionWidget::writePermission(const QSharedPointer<WDataStructure> &record) const
{
    if (!record)
        return;
    record->sv(QStringLiteral("validTo"), m_validTo->date().toString(Qt::ISODate));
    record->sv(QStringLiteral("username"), getUsername());
    record->SetValue(QStringLiteral("permanent"), m_permanent->isChecked());
    record->SetValue(QStringLiteral("read"), m_read->isChecked());
    record->SetValue(QStringLiteral("write"), m_write->isChecked());
    record->SetValue(QStringLiteral("delete"), m_delete->isChecked());
    record->SetValue(QStringLiteral("full"), m_full->isChecked());
    record->sv(QStringLiteral("section"), getUsername());
}

QString uiPermissionWidget::getUsername() const
{
    return m_username->text();
}

bool uiPermissionWidget::hasAnyRight() const
{
    return m_read->isChecked() || m_write->isChecked() || m_delete->isChecked() || m_full->isChecked();
}

void uiPermissionWidget::on_pushButton_clicked()
{
    emit signalUserRemoved();
}
