#include "uiWebFilePropertiesDialog.h"

#include "uiWebFileProperties.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

uiWebFilePropertiesDialog::uiWebFilePropertiesDialog(QWidget *parent)
    : QDialog(parent), m_page(new uiWebFileProperties)
{
    setWindowTitle(tr("File properties"));
    auto *cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("pushButton_2"));
    auto *ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("pushButton"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_page);
    layout->addLayout(buttons);
    resize(400, 300);

    // Never smaller than the form: its wrapped explanations must stay readable.
    resize(size().expandedTo(sizeHint()));

    connect(ok, &QPushButton::clicked, this, &uiWebFilePropertiesDialog::on_pushButton_clicked);
    connect(cancel, &QPushButton::clicked, this, &uiWebFilePropertiesDialog::on_pushButton_2_clicked);
}

void uiWebFilePropertiesDialog::on_pushButton_clicked()
{
    m_page->readValues();
    accept();
}

void uiWebFilePropertiesDialog::on_pushButton_2_clicked()
{
    reject();
}
