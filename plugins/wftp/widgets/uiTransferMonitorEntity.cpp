#include "uiTransferMonitorEntity.h"

#include "ElidedLabel.h"

#include <TransferMonitor.h>

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

uiTransferMonitorEntity::uiTransferMonitorEntity(const QString &fileID, QWidget *parent)
    : QWidget(parent), m_fileID(fileID)
{
    setObjectName(QStringLiteral("uiTransferMonitorEntityClass"));
    setWindowTitle(QStringLiteral("uiTransferMonitorEntity"));
    resize(457, 28);

    auto *box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("groupBox"));
    box->setStyleSheet(QStringLiteral("QGroupBox{background-color: rgba(255, 255, 255, 128);}"));

    m_icon = new QLabel(box);
    m_icon->setObjectName(QStringLiteral("label"));
    m_icon->setMaximumSize(20, 20);
    m_icon->setScaledContents(true);
    m_icon->setPixmap(QPixmap(QStringLiteral(":/icons/Resources/Download.png")));

    // The application's font at the form's sizes: the form's face is not
    // found on every system.
    QFont small = font();
    small.setPointSize(8);
    // A long path gives way to the name instead of widening the row.
    m_amount = new ElidedLabel(box);
    m_amount->setObjectName(QStringLiteral("label_2"));
    m_amount->setFont(small);
    m_amount->setFullText(QStringLiteral("TextLabel"));
    auto *caption = new QLabel(tr("Username: "), box);
    caption->setObjectName(QStringLiteral("label_4"));
    caption->setFont(small);
    QFont bold = small;
    bold.setBold(true);
    m_user = new QLabel(QStringLiteral("TextLabel"), box);
    m_user->setObjectName(QStringLiteral("label_3"));
    // A contact's name is never markup.
    m_user->setTextFormat(Qt::PlainText);
    m_user->setFont(bold);

    auto *amountColumn = new QVBoxLayout;
    amountColumn->setObjectName(QStringLiteral("verticalLayout"));
    amountColumn->addWidget(m_amount);
    auto *boxGrid = new QGridLayout(box);
    boxGrid->setObjectName(QStringLiteral("gridLayout_2"));
    boxGrid->setSpacing(1);
    boxGrid->setContentsMargins(4, 1, 4, 1);
    boxGrid->addWidget(m_icon, 0, 0);
    boxGrid->addLayout(amountColumn, 0, 1);
    boxGrid->addWidget(caption, 0, 3);
    boxGrid->addWidget(m_user, 0, 4);
    boxGrid->setColumnStretch(1, 1);
    auto *outer = new QGridLayout(this);
    outer->setObjectName(QStringLiteral("gridLayout"));
    outer->setSpacing(1);
    outer->setContentsMargins(1, 1, 1, 1);
    outer->addWidget(box, 0, 0);
}

void uiTransferMonitorEntity::showState(const TransferMonitor &monitor)
{
    const TransferMonitor::Entry entry = monitor.entry(m_fileID);
    // Reading a file sends it up to the contact; writing brings it down.
    m_icon->setPixmap(QPixmap(entry.lastWasWrite ? QStringLiteral(":/icons/Resources/Download.png")
                                                 : QStringLiteral(":/icons/Resources/upload.png")));
    m_amount->setFullText(monitor.text(m_fileID));
    m_user->setText(entry.user);
}
