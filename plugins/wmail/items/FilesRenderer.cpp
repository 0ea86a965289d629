#include "FilesRenderer.h"

#include "WMailFiles.h"

#include <PSettings.h>

#include <QAction>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>

namespace {
const int kEntryRole = Qt::UserRole + 1;
} // namespace

FilesRenderer::FilesRenderer(const QWeakPointer<IWMailConversation> &conversation, const QString &itemId,
                             const QByteArray &preview, QWidget *parent)
    : QWidget(parent), m_conversation(conversation), m_itemId(itemId)
{
    setWindowTitle(tr("FilesRenderer"));
    resize(414, 270);
    // The size of the page's own text, which the item stands in.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    m_saveAction = new QAction(QIcon(QStringLiteral(":/photoalbum/Resources/Save.png")), QStringLiteral("Save selected files"),
                               this);
    m_saveAction->setObjectName(QStringLiteral("actionSave_selected_files"));
    auto *toolBar = new QToolBar(this);
    toolBar->setIconSize(QSize(15, 15));
    toolBar->setContentsMargins(0, 0, 0, 0);
    toolBar->addAction(m_saveAction);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("treeWidget"));
    m_list->setAlternatingRowColors(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({tr("Name"), tr("Size")});
    // The page gives the item little height and the whole width: names get
    // what the sizes leave.
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    auto *caption = new QLabel(tr("Size:"), this);
    caption->setObjectName(QStringLiteral("label_2"));
    m_total = new QLabel(WMailFiles::formatSize(0), this);
    m_total->setObjectName(QStringLiteral("label"));
    QFont bold = m_total->font();
    bold.setBold(true);
    m_total->setFont(bold);

    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setSpacing(2);
    grid->addWidget(toolBar, 0, 0, 1, 3);
    grid->addWidget(m_list, 1, 0, 1, 3);
    grid->addWidget(caption, 2, 0);
    grid->addWidget(m_total, 2, 1);
    grid->setColumnStretch(2, 1);

    qint64 total = 0;
    const QList<WMailFiles::Entry> entries = WMailFiles::readPreview(preview);
    for (int i = 0; i < entries.size(); ++i) {
        const WMailFiles::Entry &entry = entries.at(i);
        auto *row = new QTreeWidgetItem(m_list, {entry.name, WMailFiles::formatSize(entry.size)});
        row->setData(0, kEntryRole, i);
        row->setData(1, kEntryRole, entry.size);
        total += qMax<qint64>(0, entry.size);
    }
    m_total->setText(WMailFiles::formatSize(total));

    QMetaObject::connectSlotsByName(this);
}

QString FilesRenderer::totalText() const
{
    return m_total->text();
}

QStringList FilesRenderer::saveSelectedTo(const QString &folder, QStringList *errors)
{
    QStringList saved;
    const QSharedPointer<IWMailConversation> conversation = m_conversation.toStrongRef();
    if (!conversation)
        return saved;
    const QByteArray data = conversation->loadItemData(m_itemId);
    if (data.isEmpty()) {
        *errors << tr("The files of this message are no longer stored.");
        return saved;
    }
    for (const QTreeWidgetItem *row : m_list->selectedItems()) {
        WMailFiles::Entry entry;
        if (!WMailFiles::readEntry(data, row->data(0, kEntryRole).toInt(), &entry)) {
            *errors << tr("%1 is not in this message.").arg(row->text(0));
            continue;
        }
        QString error;
        const QString path = WMailFiles::save(folder, entry, &error);
        if (path.isEmpty())
            *errors << error;
        else
            saved << path;
    }
    return saved;
}

void FilesRenderer::saveSelectedFiles(bool open)
{
    if (m_list->selectedItems().isEmpty() || !m_conversation)
        return;
    // The engine may delete this widget while the dialog runs: the dialog
    // belongs to the window, and this is checked after it.
    QPointer<FilesRenderer> self(this);
    const QString folder = QFileDialog::getExistingDirectory(
        window(), tr("Open Directory"), PSettings::GetValue(PSettings::LastFolderKey).toString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!self || folder.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, folder);
    QStringList errors;
    const QStringList saved = saveSelectedTo(folder, &errors);
    if (open) {
        for (const QString &path : saved)
            QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
    if (!errors.isEmpty())
        QMessageBox::warning(window(), tr("Save selected files"), errors.join(QLatin1Char('\n')));
}
