#include "uiTransferEntity.h"

#include "ElidedLabel.h"

#include <TransferListModel.h>

#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

namespace {

QIcon resourceIcon(const char *name)
{
    return QIcon(QStringLiteral(":/icons/Resources/") + QLatin1String(name));
}

} // namespace

uiTransferEntity::uiTransferEntity(const QSharedPointer<TransferWorker> &transfer, QWidget *parent)
    : QWidget(parent), m_transfer(transfer)
{
    setObjectName(QStringLiteral("uiTransferEntityClass"));
    setWindowTitle(QStringLiteral("uiTransferEntity"));
    resize(605, TransferListModel::RowHeight);

    auto *box = new QGroupBox(this);
    box->setObjectName(QStringLiteral("groupBox"));
    box->setStyleSheet(QStringLiteral("QGroupBox{background-color: rgba(255, 255, 255, 128);}\n"));

    m_icon = new QLabel(box);
    m_icon->setObjectName(QStringLiteral("label"));
    m_icon->setMaximumSize(22, 22);
    m_icon->setScaledContents(true);

    // A long path gives way to the bar and buttons instead of widening the row.
    m_status = new ElidedLabel(box);
    m_status->setObjectName(QStringLiteral("label_2"));
    m_status->setFullText(QStringLiteral("TextLabel"));

    m_progress = new QProgressBar(box);
    m_progress->setObjectName(QStringLiteral("progressBar"));
    m_progress->setMaximumHeight(16);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);

    m_openFile = new QPushButton(resourceIcon("play.png"), tr("Open file"), box);
    m_openFile->setObjectName(QStringLiteral("pushButton"));
    m_openFolder = new QPushButton(resourceIcon("newfolder.png"), tr("Open containing folder"), box);
    m_openFolder->setObjectName(QStringLiteral("pushButton_2"));
    m_openFile->hide();
    m_openFolder->hide();

    m_pause = new QToolButton(box);
    m_pause->setObjectName(QStringLiteral("toolButton"));
    m_pause->setText(QStringLiteral("..."));
    m_pause->setToolTip(tr("Pause/Resume"));
    m_pause->setWhatsThis(tr("Pause/Resume"));
    showPaused(false);
    // Nothing to pause before the first slot, nor after the end.
    m_pause->setEnabled(false);
    m_clear = new QToolButton(box);
    m_clear->setObjectName(QStringLiteral("toolButton_2"));
    m_clear->setText(QStringLiteral("..."));
    m_clear->setToolTip(tr("Stop"));
    m_clear->setWhatsThis(tr("Stop"));
    m_clear->setIcon(resourceIcon("stop.png"));

    auto *texts = new QHBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(m_status, 1);
    texts->addWidget(m_progress);
    texts->addWidget(m_openFile);
    texts->addWidget(m_openFolder);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(1);
    buttons->addWidget(m_pause);
    buttons->addWidget(m_clear);
    auto *boxGrid = new QGridLayout(box);
    boxGrid->setSpacing(1);
    boxGrid->setContentsMargins(1, 1, 1, 1);
    boxGrid->addWidget(m_icon, 0, 0);
    boxGrid->addLayout(texts, 0, 1);
    boxGrid->addLayout(buttons, 0, 3);
    boxGrid->setColumnStretch(1, 1);
    auto *outer = new QGridLayout(this);
    outer->setSpacing(0);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(box, 0, 0);

    QMetaObject::connectSlotsByName(this);
}

void uiTransferEntity::showState(const QModelIndex &index)
{
    // Called for every changed row a few times a second: only what differs
    // is touched.
    m_status->setFullText(index.data().toString());
    m_progress->setValue(index.data(TransferListModel::PercentRole).toInt());
    const bool download = index.data(TransferListModel::DownloadRole).toBool();
    if (int(download) != m_shownDownload) {
        m_shownDownload = download;
        m_icon->setPixmap(QPixmap(download ? QStringLiteral(":/icons/Resources/Download.png")
                                           : QStringLiteral(":/icons/Resources/upload.png")));
    }
    const int stage = index.data(TransferListModel::StageRole).toInt();
    m_pause->setEnabled(stage == TransferListModel::Moving || stage == TransferListModel::Paused);
    showPaused(stage == TransferListModel::Paused);
    if (stage == TransferListModel::Ended && !m_transfer->isStopped() && m_openFolder->isHidden()) {
        // A download that brought nothing ("0 of 1") has no file to open;
        // an upload's file is the local one it came from.
        m_openFile->setVisible(!download || m_transfer->completedItems() > 0);
        m_openFolder->show();
    }
}

void uiTransferEntity::showPaused(bool paused)
{
    if (int(paused) == m_shownPaused)
        return;
    m_shownPaused = paused;
    m_pause->setIcon(resourceIcon(paused ? "play.png" : "pause.png"));
}

void uiTransferEntity::on_toolButton_clicked()
{
    // The worker gives its slot back and queues again at its next chunk;
    // resuming waits for a slot on the worker's thread, never here.
    if (m_transfer->isPaused())
        m_transfer->resume();
    else
        m_transfer->pause();
    showPaused(m_transfer->isPaused());
}

void uiTransferEntity::on_toolButton_2_clicked()
{
    auto *box = new QMessageBox(QMessageBox::Question, tr("Clear transfer"), tr("Do you want to clear this transfer?"),
                                QMessageBox::Ok | QMessageBox::Cancel, this);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this](int button) {
        if (button == QMessageBox::Ok)
            emit clearRequested();
    });
    box->open();
}

void uiTransferEntity::on_pushButton_clicked()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_transfer->firstLocalFile()));
}

void uiTransferEntity::on_pushButton_2_clicked()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_transfer->firstLocalFolder()));
}
