#include "uiMainSettings.h"

#include "MainClass.h"
#include "WCommonOperations.h"

#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QSharedPointer<WivoraAccount> sessionAccount()
{
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    return account && !account->getUserName().isEmpty() ? account : QSharedPointer<WivoraAccount>();
}

} // namespace

uiMainSettings::uiMainSettings(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("uiMainSettingsClass"));
    setWindowTitle(QStringLiteral("uiMainSettings"));
    resize(420, 307);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    auto *ports = new QGroupBox(tr("Ports"));
    ports->setObjectName(QStringLiteral("groupBox"));
    grid->addWidget(ports, 0, 0);
    grid->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding), 1, 0);
    auto *portsGrid = new QGridLayout(ports);
    portsGrid->setObjectName(QStringLiteral("gridLayout_2"));
    auto *form = new QFormLayout;
    form->setObjectName(QStringLiteral("formLayout"));
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    auto *label = new QLabel(tr("Tcp server port"));
    label->setObjectName(QStringLiteral("label"));
    m_port = new QLineEdit;
    m_port->setObjectName(QStringLiteral("lineEdit"));
    label->setBuddy(m_port);
    form->addRow(label, m_port);
    // Why a port was not stored, beside the field it concerns.
    m_portMessage = new QLabel;
    m_portMessage->setObjectName(QStringLiteral("portMessage"));
    m_portMessage->setTextFormat(Qt::PlainText);
    m_portMessage->setWordWrap(true);
    m_portMessage->setStyleSheet(QStringLiteral("color: rgb(170, 0, 0);"));
    m_portMessage->hide();
    form->addRow(QString(), m_portMessage);
    portsGrid->addLayout(form, 0, 0);
    auto *buttonRow = new QGridLayout;
    buttonRow->setObjectName(QStringLiteral("gridLayout_3"));
    buttonRow->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0);
    auto *save = new QPushButton(tr("Save settings"));
    save->setObjectName(QStringLiteral("pushButton"));
    buttonRow->addWidget(save, 0, 1);
    portsGrid->addLayout(buttonRow, 2, 0);
    connect(save, &QPushButton::clicked, this, &uiMainSettings::on_pushButton_clicked);
}

void uiMainSettings::loadSettings()
{
    if (const QSharedPointer<WivoraAccount> account = sessionAccount())
        m_port->setText(QString::number(WCommonOperations::listeningPort(account)));
}

void uiMainSettings::on_pushButton_clicked()
{
    const QSharedPointer<WivoraAccount> account = sessionAccount();
    if (!account)
        return;
    // Only a port a server can listen on is stored; anything else is
    // refused with the reason, and the stored port stays.
    bool number = false;
    const int port = m_port->text().trimmed().toInt(&number, 10);
    if (!number || port < 1 || port > 65535) {
        m_portMessage->setText(tr("\u201c%1\u201d was not saved: the port must be a whole number from 1 to 65535.")
                                   .arg(m_port->text()));
        m_portMessage->show();
        m_port->setFocus();
        m_port->selectAll();
        return;
    }
    m_portMessage->hide();
    account->settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port));
    WCommonOperations::saveAccount(true);
}
