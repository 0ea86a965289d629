#include "uiTransferManager.h"

#include "VisibleRowWidgets.h"
#include "uiTransferEntity.h"

#include <TransferListModel.h>
#include <TransferManager.h>
#include <WFtpMain.h>

#include <QApplication>
#include <QTimer>

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QToolBar>

namespace {
// Each row's own widget shows it: the list draws nothing beneath.
class RowsOnly : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *, const QStyleOptionViewItem &, const QModelIndex &) const override {}
};

TransferWorker::Answer answerOf(int button)
{
    switch (button) {
    case QMessageBox::Yes:
        return TransferWorker::Answer::Yes;
    case QMessageBox::YesToAll:
        return TransferWorker::Answer::YesToAll;
    case QMessageBox::NoToAll:
        return TransferWorker::Answer::NoToAll;
    default:
        return TransferWorker::Answer::No;
    }
}
} // namespace

uiTransferManager::uiTransferManager(TransferManager &manager, QWidget *parent)
    : QWidget(parent), m_manager(manager), m_model(new TransferListModel(manager, this))
{
    setObjectName(QStringLiteral("uiTransferManagerClass"));
    setWindowTitle(QStringLiteral("uiTransferManager"));
    resize(538, 170);

    m_clearCompleted =
        new QAction(QIcon(QStringLiteral(":/icons/Resources/clearcompleted.png")), tr("Clear completed"), this);
    m_clearCompleted->setObjectName(QStringLiteral("actionClear_completed"));
    m_clearAll = new QAction(QIcon(QStringLiteral(":/icons/Resources/delete.png")), tr("Clear all"), this);
    m_clearAll->setObjectName(QStringLiteral("actionClear_all"));

    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(2);
    grid->setContentsMargins(2, 2, 2, 2);
    auto *frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);
    grid->addWidget(frame, 0, 0);

    m_toolBar = new QToolBar;
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setIconSize(QSize(15, 15));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolBar->addAction(m_clearCompleted);
    m_toolBar->addAction(m_clearAll);
    m_toolBar->addSeparator();
    m_maxLabel = new QLabel(tr("Max simultaneous transfers: "), this);
    m_maxLabel->setObjectName(QStringLiteral("maxLabel"));
    m_toolBar->addWidget(m_maxLabel);
    m_maxField = new QLineEdit(this);
    m_maxField->setObjectName(QStringLiteral("maxField"));
    m_maxField->setMaximumSize(30, 16);
    QFont small = m_maxField->font();
    small.setPointSize(7);
    m_maxField->setFont(small);
    m_maxField->setInputMask(QStringLiteral("000;"));
    m_maxField->setText(QString::number(manager.maxTransfers()));
    m_toolBar->addWidget(m_maxField);
    m_changeButton = new QPushButton(tr("change"), this);
    m_changeButton->setObjectName(QStringLiteral("changeButton"));
    m_changeButton->setMaximumSize(60, 18);
    m_toolBar->addWidget(m_changeButton);
    grid->addWidget(m_toolBar, 0, 0);

    m_list = new QListView(this);
    // The list keeps its form's name.
    m_list->setObjectName(QStringLiteral("listWidget"));
    m_list->setModel(m_model);
    m_list->setItemDelegate(new RowsOnly(m_list));
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    grid->addWidget(m_list, 1, 0);
    m_rowWidgets = new VisibleRowWidgets(m_list, [this](const QModelIndex &index) { return makeRow(index); });

    connect(m_changeButton, &QPushButton::clicked, this, &uiTransferManager::slotTransferTextChanged);
    connect(&manager, &TransferManager::maxTransfersChanged, this,
            [this](int n) { m_maxField->setText(QString::number(n)); });
    connect(m_model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &top, const QModelIndex &bottom) { showRows(top.row(), bottom.row()); });
    connect(&manager, &TransferManager::transferRemoved, this, &uiTransferManager::closeQuestion);

    const QPointer<uiTransferManager> self(this);
    manager.setOverwriteAsk([self](const QSharedPointer<TransferWorker> &transfer, const QString &target,
                                   const std::function<void(TransferWorker::Answer)> &answer) {
        if (self)
            self->askOverwrite(transfer, target, answer);
        else
            answer(TransferWorker::Answer::No);
    });

    QMetaObject::connectSlotsByName(this);
}

uiTransferManager::~uiTransferManager()
{
    m_manager.setOverwriteAsk(nullptr);
}

void uiTransferManager::setMaxTransfers(int n)
{
    m_manager.setMaxTransfers(n);
}

void uiTransferManager::stopAllTransfers()
{
    m_manager.stopAllTransfers();
}

uiTransferEntity *uiTransferManager::row(int i) const
{
    return qobject_cast<uiTransferEntity *>(m_rowWidgets->widgetAt(i));
}

uiTransferEntity *uiTransferManager::makeRow(const QModelIndex &index)
{
    auto *row = new uiTransferEntity(m_model->transfer(index));
    const QWeakPointer<TransferWorker> transfer = row->transfer();
    connect(row, &uiTransferEntity::clearRequested, this, [this, transfer] {
        if (const auto strong = transfer.toStrongRef())
            m_manager.removeTransfer(strong);
    });
    row->showState(index);
    return row;
}

void uiTransferManager::showRows(int first, int last)
{
    for (const QPersistentModelIndex &index : m_rowWidgets->rowsWithWidgets()) {
        if (index.row() < first || index.row() > last)
            continue;
        if (auto *shown = qobject_cast<uiTransferEntity *>(m_list->indexWidget(index)))
            shown->showState(index);
    }
}

QString uiTransferManager::overwriteText(const QString &target)
{
    const int slash = target.lastIndexOf(QLatin1Char('/'));
    const QString name = target.mid(slash + 1);
    const QString folder = WFtpMain::shownPath(slash > 0 ? target.left(slash) : QStringLiteral("/"));
    return tr("The file \u201c%1\u201d already exists in %2.\nDo you want to overwrite it?").arg(name, folder);
}

void uiTransferManager::askOverwrite(const QSharedPointer<TransferWorker> &transfer, const QString &target,
                                     const std::function<void(TransferWorker::Answer)> &answer)
{
    QPointer<QWidget> blocking = QApplication::activeModalWidget();
    if (!blocking) {
        showQuestion(transfer, target, answer);
        return;
    }
    // Looked at again a few times a second until that dialog has closed; a
    // transfer stopped meanwhile has stopped waiting.
    const QWeakPointer<TransferWorker> weak = transfer;
    auto *wait = new QTimer(this);
    wait->setInterval(100);
    connect(wait, &QTimer::timeout, this, [this, wait, blocking, weak, target, answer]() mutable {
        if (blocking && blocking->isVisible())
            return;
        blocking = QApplication::activeModalWidget();
        if (blocking)
            return;
        wait->deleteLater();
        const QSharedPointer<TransferWorker> strong = weak.toStrongRef();
        if (strong && !strong->isStopped())
            showQuestion(strong, target, answer);
        else
            answer(TransferWorker::Answer::No);
    });
    wait->start();
}

void uiTransferManager::showQuestion(const QSharedPointer<TransferWorker> &transfer, const QString &target,
                                     const std::function<void(TransferWorker::Answer)> &answer)
{
    // The dock owns the box, not the row: a row's widget goes when it
    // scrolls out of sight, the question stays until answered.
    auto *box = new QMessageBox(QMessageBox::Question, tr("Overwrite"), overwriteText(target),
                                QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::NoToAll,
                                this, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // File and folder names come from peers: never markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Modal without a nested event loop: the transfer may go while it is open.
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, box, [answer](int button) { answer(answerOf(button)); });
    m_questions.insert(transfer.data(), box);
    box->show();
}

void uiTransferManager::closeQuestion(const QSharedPointer<TransferWorker> &transfer)
{
    // A stopped worker has stopped waiting for the answer.
    if (QMessageBox *const box = m_questions.take(transfer.data()))
        delete box;
}

void uiTransferManager::on_actionClear_completed_triggered()
{
    m_manager.clearFinished();
}

void uiTransferManager::on_actionClear_all_triggered()
{
    auto *box = new QMessageBox(QMessageBox::Question, tr("Clear transfers"), tr("Do you want to clear all transfers?"),
                                QMessageBox::Ok | QMessageBox::Cancel, this);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this](int button) {
        if (button == QMessageBox::Ok)
            stopAllTransfers();
    });
    box->open();
}

void uiTransferManager::slotTransferTextChanged()
{
    // Stored and saved whenever it differs from the stored value, 1 included.
    if (m_manager.changeMaxTransfers(m_maxField->text()))
        m_maxField->setText(QString::number(m_manager.maxTransfers()));
}
