#include "uiFileBrowser.h"

#include "DiscItemsMimeData.h"
#include "FileList.h"
#include "FileListIconView.h"
#include "ShareFolderWizard.h"
#include "uiFolderPreferences.h"

#include <TransferManager.h>
#include <WFtpCommands.h>
#include <WFtpMain.h>

#include <KvrConfig.h>
#include <PSettings.h>
#include <WDataStructure.h>
#include <WUtilities.h>

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QThread>
#include <QToolBar>

namespace {

const QString Root = QStringLiteral("/");
const QString KindDisc = QStringLiteral("disc");
const QString KindDirectory = QStringLiteral("directory");
const QString KindShared = QStringLiteral("shared");
// Pictures from a peer's listing larger than this are not decoded.
constexpr int MaxThumbnailSide = 1024;

// The wait cursor for the length of one operation.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

QImage decodeThumbnail(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer, "JPG");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxThumbnailSide || size.height() > MaxThumbnailSide)
        return QImage();
    return reader.read();
}

} // namespace

uiFileBrowser::uiFileBrowser(WFtpMain &main, TransferManager &transfers, QWidget *parent)
    : QWidget(parent), m_main(main), m_transfers(transfers)
{
    buildForm();
    connect(m_tree, &FileList::signalFilesDropped, this, &uiFileBrowser::slotFilesDropped);
    connect(m_icons, &QListWidget::itemActivated, this, &uiFileBrowser::slotIconViewItemActivated);
    connect(m_icons, &FileListIconView::signalFilesDropped, this, &uiFileBrowser::slotIconViewFilesDropped);
    connect(m_tree, &FileList::signalDiscItemsDropped, this, &uiFileBrowser::slotDiscItemsDropped);
    connect(m_icons, &FileListIconView::signalDiscItemsDropped, this, &uiFileBrowser::slotIconViewDiscItemsDropped);
    connect(m_icons, &QWidget::customContextMenuRequested, this,
            &uiFileBrowser::on_treeWidget_customContextMenuRequested);
    connect(this, &uiFileBrowser::signalSetToolbarButtonsState, this, &uiFileBrowser::slotSetToolbarButtonsState);
    connect(this, &uiFileBrowser::signalListDirectory, this, &uiFileBrowser::slotListDirectory);
    connect(this, &uiFileBrowser::signalListDisc, this, &uiFileBrowser::slotListDisc);
    connect(this, &uiFileBrowser::signalClearTreeItems, m_tree, &QTreeWidget::clear);
    // The actions and the tree's own signals reach their on_... slots by name.
    QMetaObject::connectSlotsByName(this);
}

QAction *uiFileBrowser::addAction(const char *objectName, const QString &text, const char *icon)
{
    auto *action = new QAction(QIcon(QString::fromLatin1(icon)), text, this);
    action->setObjectName(QString::fromLatin1(objectName));
    m_actions.insert(action->objectName(), action);
    return action;
}

void uiFileBrowser::buildForm()
{
    setObjectName(QStringLiteral("uiFileBrowserClass"));
    setWindowTitle(QStringLiteral("uiFileBrowser"));
    auto *grid = new QGridLayout(this);
    grid->setSpacing(2);
    grid->setContentsMargins(2, 2, 2, 2);

    auto *strip = new QFrame(this);
    strip->setObjectName(QStringLiteral("frame"));
    strip->setFrameShape(QFrame::StyledPanel);
    strip->setFrameShadow(QFrame::Raised);
    strip->setMaximumHeight(26);
    grid->addWidget(strip, 0, 0, 1, 2, Qt::AlignTop);
    m_toolBar = new QToolBar(this);
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    grid->addWidget(m_toolBar, 0, 0, 1, 2);

    m_toolBar->addAction(addAction("actionUp", tr("Up"), ":/icons/Resources/up.png"));
    m_toolBar->addAction(addAction("actionRefresh", tr("Refresh"), ":/icons/Resources/refresh.png"));
    m_toolBar->addAction(addAction("actionNew_folder", tr("New folder"), ":/icons/Resources/newfolder.png"));
    m_toolBar->addAction(addAction("actionRename", tr("Rename"), ":/icons/Resources/rename.png"));
    m_toolBar->addAction(addAction("actionDelete", tr("Delete"), ":/icons/Resources/delete.png"));
    m_toolBar->addSeparator();
    m_toolBar->addAction(addAction("actionDownload", tr("Download"), ":/icons/Resources/Download.png"));
    m_toolBar->addAction(addAction("actionUpload", tr("Upload"), ":/icons/Resources/upload.png"));
    m_toolBar->addSeparator();
    m_toolBar->addAction(addAction("actionShare_Folder", tr("Share Folder"), ":/icons/Resources/sharedfolder.png"));
    m_toolBar->addAction(
        addAction("actionFolder_properties", tr("Folder properties"), ":/icons/Resources/sharefolder.png"));
    m_toolBar->addSeparator();
    m_toolBar->addAction(addAction("actionIcon_View", tr("Icon View"), ":/icons/Resources/iconview.png"));
    m_toolBar->addAction(addAction("actionList_View", tr("List View"), ":/icons/Resources/listview.png"));
    // The usual keys of a file browser, while the focus is in this one (the
    // main page and a contact's page each have their own).
    const struct
    {
        const char *action;
        QKeySequence keys;
    } shortcuts[] = {{"actionDelete", QKeySequence::Delete},
                     {"actionRename", QKeySequence(Qt::Key_F2)},
                     {"actionRefresh", QKeySequence::Refresh},
                     {"actionUp", QKeySequence(Qt::Key_Backspace)}};
    for (const auto &shortcut : shortcuts) {
        QAction *action = m_actions.value(QString::fromLatin1(shortcut.action));
        action->setShortcut(shortcut.keys);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        QWidget::addAction(action);
    }

    m_pathLabel = new QLabel(currentPath, this);
    m_pathLabel->setObjectName(QStringLiteral("label"));
    // Folder names are the users' own: never markup.
    m_pathLabel->setTextFormat(Qt::PlainText);
    QFont font = m_pathLabel->font();
    font.setPointSize(10);
    font.setBold(true);
    m_pathLabel->setFont(font);
    m_pathLabel->setWordWrap(true);
    grid->addWidget(m_pathLabel, 1, 0, 1, 2);

    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("stackedWidget"));
    m_tree = new FileList(m_stack);
    m_tree->setObjectName(QStringLiteral("treeWidget"));
    m_tree->setColumnCount(4);
    m_tree->setHeaderLabels({tr("Name"), tr("Extension"), tr("Size"), tr("Date")});
    m_tree->setColumnWidth(0, 230);
    m_tree->setColumnWidth(1, 90);
    // Wide enough for the longest size text, "1023 bytes".
    m_tree->setColumnWidth(2, m_tree->fontMetrics().horizontalAdvance(QStringLiteral("1023 bytes")) + 24);
    // The date always shows whole; the name takes what is left.
    m_tree->header()->setStretchLastSection(false);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_tree->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    m_tree->setRootIsDecorated(false);
    m_tree->header()->setSortIndicator(0, Qt::AscendingOrder);
    m_tree->setSortingEnabled(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->setAllColumnsShowFocus(true);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_icons = new FileListIconView(m_stack);
    m_icons->setObjectName(QStringLiteral("listWidget"));
    m_icons->setViewMode(QListView::IconMode);
    m_icons->setIconSize(QSize(70, 70));
    m_icons->setMovement(QListView::Static);
    m_icons->setWordWrap(true);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QList<QAbstractItemView *> views{m_tree, m_icons};
    for (QAbstractItemView *view : views) {
        view->setAcceptDrops(true);
        // Drops land on the viewport; the icon view's static layout had
        // turned them off there.
        view->viewport()->setAcceptDrops(true);
        view->setDragEnabled(true);
        view->setDragDropMode(QAbstractItemView::DragDrop);
        view->setDropIndicatorShown(false);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
    }
    m_stack->addWidget(m_tree);
    m_stack->addWidget(m_icons);
    m_stack->setCurrentWidget(m_tree);
    grid->addWidget(m_stack, 2, 0, 1, 2);

    grid->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 3, 0);
    m_status = new QLabel(tr("0 items found"), this);
    m_status->setObjectName(QStringLiteral("label_status"));
    grid->addWidget(m_status, 3, 1);
    slotSetToolbarButtonsState(false);
}

// ---- listing -------------------------------------------------------------------

void uiFileBrowser::requestListDirectory(bool reload)
{
    // Queued when called from another thread (automatic connection).
    emit signalListDirectory(reload);
}

void uiFileBrowser::requestListDisc()
{
    emit signalListDisc();
}

bool uiFileBrowser::isIconViewCurrent() const
{
    return m_stack->currentWidget() == m_icons;
}

QString uiFileBrowser::statusLine() const
{
    return m_status->text();
}

void uiFileBrowser::showLocation()
{
    m_pathLabel->setText(WFtpMain::shownPath(currentPath));
}

void uiFileBrowser::slotListDirectory(bool reload)
{
    showLocation();
    if (currentPath == Root) {
        requestListDisc();
        return;
    }
    if (m_listing) {
        // This thread is inside a listing's wait: list again once it ends.
        m_relistPending = true;
        m_relistReload = m_relistReload || reload;
        return;
    }
    m_listing = true;
    listCurrentFolder(reload);
    while (m_relistPending) {
        const bool again = m_relistReload;
        m_relistPending = m_relistReload = false;
        showLocation();
        if (currentPath == Root) {
            slotListDisc();
            break;
        }
        listCurrentFolder(again);
    }
    m_listing = false;
}

bool uiFileBrowser::listCurrentFolder(bool reload)
{
    // Items are named after the folder asked for, whatever happens to
    // currentPath while the owner's answer is awaited.
    const QString folder = currentPath;
    emit signalSetToolbarButtonsState(true);
    setStatus(0, 0);
    setDragFolder(isOwnPath(folder) ? QString() : folder);
    emit signalClearTreeItems();
    m_icons->clear();

    const FolderListing listing = fetchListing(folder, reload);
    if (currentPath != folder) {
        m_relistPending = true;
        return false;
    }
    if (!listing.ok()) {
        // A folder that could not be listed is not shown as an empty one.
        m_status->setText(FolderListing::describe(listing.error));
        return true;
    }

    const bool icons = isIconViewCurrent();
    m_tree->setSortingEnabled(false);
    qint64 total = 0;
    const auto rows = listing.rows.getChildren();
    for (const auto &row : rows) {
        if (icons)
            addIconEntry(folder, *row);
        else
            addTreeEntry(folder, *row);
        total += row->gv(QStringLiteral("Size")).toLongLong();
    }
    m_tree->setSortingEnabled(true);
    setStatus(rows.size(), total);

    if (icons && isOwnPath(folder)) {
        // Pictures come back through the controller's thumbnail signal.
        m_main.engine()->getFolderThumnailsStartThread(folder, ownUser(), {});
    }
    return true;
}

FolderListing uiFileBrowser::fetchListing(const QString &path, bool reload)
{
    if (isOwnPath(path))
        return {m_main.engine()->listDirectory(path, ownUser(), false)};
    return m_main.fileCache().getListing(path, reload);
}

void uiFileBrowser::addTreeEntry(const QString &folder, const WDataStructure &row)
{
    const QString name = row.gv(QStringLiteral("Name"));
    const QString extension = row.gv(QStringLiteral("Extension"));
    auto *item = new QTreeWidgetItem;
    item->setText(0, name);
    item->setData(0, PathRole, folder + QLatin1Char('/') + name);
    item->setText(1, extension);
    item->setData(1, PathRole, extension);
    item->setText(2, formatSize(row.gv(QStringLiteral("Size")).toLongLong()));
    item->setText(3, QDateTime::fromString(row.gv(QStringLiteral("Modified")), Qt::ISODate).toString(Qt::TextDate));
    item->setIcon(0, iconFor(row.gv(QStringLiteral("isShared")).toInt() != 0 ? KindShared : extension));
    m_tree->addTopLevelItem(item);
}

void uiFileBrowser::addIconEntry(const QString &folder, const WDataStructure &row)
{
    const QString name = row.gv(QStringLiteral("Name"));
    const QString extension = row.gv(QStringLiteral("Extension"));
    auto *item = new QListWidgetItem(name);
    item->setData(PathRole, folder + QLatin1Char('/') + name);
    item->setData(KindRole, extension);
    item->setIcon(iconFor(KindDisc));
    item->setSizeHint(QSize(100, 10 * (name.size() / 13 + 1) + 90));
    const QByteArray thumbnail = row.GetValue(QStringLiteral("thumbnail"));
    if (row.gv(QStringLiteral("isShared")).toInt() != 0) {
        item->setIcon(iconFor(KindShared));
    } else if (!thumbnail.isEmpty()) {
        const QImage picture = decodeThumbnail(thumbnail);
        if (!picture.isNull())
            item->setIcon(QIcon(QPixmap::fromImage(picture)));
    } else {
        item->setIcon(iconFor(extension));
    }
    m_icons->addItem(item);
}

void uiFileBrowser::slotListDisc()
{
    currentPath = Root;
    showLocation();
    setStatus(0, 0);
    setDragFolder(QString());
    if (isIconViewCurrent()) {
        m_icons->clear();
        emit signalSetToolbarButtonsState(false);
        for (const QString &disc : qAsConst(discPaths)) {
            auto *item = new QListWidgetItem(iconFor(KindDisc), WFtpMain::shownPath(disc));
            item->setData(PathRole, disc);
            item->setData(KindRole, KindDisc);
            m_icons->addItem(item);
        }
    } else {
        emit signalClearTreeItems();
        emit signalSetToolbarButtonsState(false);
        m_tree->setSortingEnabled(false);
        for (const QString &disc : qAsConst(discPaths)) {
            auto *item = new QTreeWidgetItem;
            item->setText(0, WFtpMain::shownPath(disc));
            item->setData(0, PathRole, disc);
            item->setText(1, tr("disc"));
            item->setData(1, PathRole, KindDisc);
            item->setIcon(0, iconFor(KindDisc));
            m_tree->addTopLevelItem(item);
        }
        m_tree->setSortingEnabled(true);
    }
    setStatus(discPaths.size(), 0);
}

void uiFileBrowser::slotSetToolbarButtonsState(bool enabled)
{
    for (const char *name : {"actionUp", "actionNew_folder", "actionRename"})
        m_actions.value(QString::fromLatin1(name))->setEnabled(enabled);
}

void uiFileBrowser::setSharingActionsVisible(bool visible)
{
    m_actions.value(QStringLiteral("actionShare_Folder"))->setVisible(visible);
    m_actions.value(QStringLiteral("actionFolder_properties"))->setVisible(visible);
}

void uiFileBrowser::setFileThumbnail(const QString &folderPath, const QString &fileName, const QImage &image)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, folderPath, fileName, image] { setFileThumbnail(folderPath, fileName, image); },
            Qt::QueuedConnection);
        return;
    }
    // One that overtook its listing is in the listing's row already.
    if (folderPath != currentPath || !isIconViewCurrent() || image.isNull())
        return;
    const QIcon icon(QPixmap::fromImage(image));
    for (int row = 0; row < m_icons->count(); ++row) {
        QListWidgetItem *item = m_icons->item(row);
        if (item->text() == fileName)
            item->setIcon(icon);
    }
}

// ---- icons and texts ---------------------------------------------------------

QImage uiFileBrowser::iconForKey(const QString &key)
{
    const QImage cached = m_iconCache.value(key);
    if (!cached.isNull())
        return cached;
    QImage image(QStringLiteral(":/ext/Resources/") + key.toUpper() + QStringLiteral(".png"));
    if (image.isNull())
        image.load(QStringLiteral(":/ext/Resources/") + key + QStringLiteral(".png"));
    if (image.isNull())
        image.load(QStringLiteral(":/ext/Resources/file.png"));
    m_iconCache.insert(key, image);
    return image;
}

QIcon uiFileBrowser::iconFor(const QString &key)
{
    auto found = m_kindIcons.constFind(key);
    if (found != m_kindIcons.constEnd())
        return *found;
    const QIcon icon(QPixmap::fromImage(iconForKey(key)));
    m_kindIcons.insert(key, icon);
    return icon;
}

QString uiFileBrowser::formatSize(qint64 bytes)
{
    return WUtilities::sizeText(bytes);
}

QString uiFileBrowser::statusText(int count, qint64 bytes)
{
    qint64 value = bytes / 1024;
    QString unit = QStringLiteral("KB");
    if (value > 1024) {
        value /= 1024;
        unit = QStringLiteral("MB");
    }
    return QString::number(count) + QLatin1Char(' ') + tr("item(s)") + QStringLiteral(", ") + QString::number(value)
        + QLatin1Char(' ') + unit;
}

void uiFileBrowser::setStatus(int count, qint64 bytes)
{
    m_status->setText(statusText(count, bytes));
}

bool uiFileBrowser::isFolderKind(const QString &kind)
{
    return kind == KindDirectory || kind == KindDisc;
}

QString uiFileBrowser::parentLocation(const QString &path, const QStringList &discPaths)
{
    if (path == Root || discPaths.contains(path))
        return Root;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : Root;
}

// ---- navigation ----------------------------------------------------------------

void uiFileBrowser::setDragFolder(const QString &folder)
{
    m_tree->setDragFolder(folder);
    m_icons->setDragFolder(folder);
}

void uiFileBrowser::navigate(const QString &path)
{
    WaitCursor wait;
    currentPath = path;
    requestListDirectory(false);
}

void uiFileBrowser::on_treeWidget_itemActivated(QTreeWidgetItem *item, int)
{
    if (isFolderKind(item->data(1, PathRole).toString()))
        navigate(item->data(0, PathRole).toString());
    else
        downloadSelected();
}

void uiFileBrowser::slotIconViewItemActivated(QListWidgetItem *item)
{
    if (isFolderKind(item->data(KindRole).toString()))
        navigate(item->data(PathRole).toString());
    else
        downloadSelected();
}

void uiFileBrowser::on_actionUp_triggered()
{
    navigate(parentLocation(currentPath, discPaths));
}

void uiFileBrowser::on_actionRefresh_triggered()
{
    WaitCursor wait;
    requestListDirectory(true);
}

void uiFileBrowser::on_actionIcon_View_triggered()
{
    WaitCursor wait;
    m_stack->setCurrentWidget(m_icons);
    requestListDirectory(false);
}

void uiFileBrowser::on_actionList_View_triggered()
{
    WaitCursor wait;
    m_stack->setCurrentWidget(m_tree);
    requestListDirectory(false);
}

void uiFileBrowser::on_treeWidget_customContextMenuRequested(const QPoint &pos)
{
    QMenu menu(this);
    // The views too: on a narrow page they are the first the tool bar hides.
    for (const char *name : {"actionUp", "actionRefresh", "actionNew_folder", "actionRename", "actionDelete", "",
                             "actionDownload", "actionUpload", "", "actionShare_Folder", "actionFolder_properties", "",
                             "actionIcon_View", "actionList_View"}) {
        if (*name)
            menu.addAction(m_actions.value(QString::fromLatin1(name)));
        else
            menu.addSeparator();
    }
    auto *view = static_cast<QAbstractItemView *>(m_stack->currentWidget());
    menu.exec(view->viewport()->mapToGlobal(pos));
}

// ---- whose disc ----------------------------------------------------------------

QString uiFileBrowser::ownUser() const
{
    return m_main.userName();
}

bool uiFileBrowser::isOwnPath(const QString &path) const
{
    const KvrConfig parts = m_main.engine()->splitPath(path);
    const QString me = ownUser();
    return !me.isEmpty() && parts.gv(QStringLiteral("owner")) == me
        && parts.gv(QStringLiteral("discType")) == QLatin1String("vls");
}

// ---- actions -------------------------------------------------------------------

QStringList uiFileBrowser::shownPaths(const QStringList &paths)
{
    QStringList shown;
    for (const QString &path : paths)
        shown.append(WFtpMain::shownPath(path));
    return shown;
}

void uiFileBrowser::tellRefusal(const QString &title, const QString &what, const QString &folder, Right right)
{
    QString help;
    if (isOwnPath(folder)) {
        help = tr("An entry of that name may be there already, the name may not be allowed (\u201c/\u201d, "
                  "\u201c..\u201d), or this computer may not let you change that folder. Press F5 to see "
                  "the folder as it is now.");
    } else {
        const QString owner = WFtpMain::ownerOf(folder);
        help = right == Right::Delete
                   ? tr("%1 may not have given you the right to delete there, or %1 did not answer. Ask %1 for "
                        "the right, or press F5 to see the folder as it is now.")
                         .arg(owner)
                   : tr("%1 may not have given you the right to write there, an entry of that name may be there "
                        "already, or %1 did not answer. Ask %1 for the right, or press F5 to see the folder as "
                        "it is now.")
                         .arg(owner);
    }
    QMessageBox box(QMessageBox::Warning, title, what + QStringLiteral("\n\n") + help, QMessageBox::Ok, this);
    // Names come from the user and from peers: never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QList<uiFileBrowser::Entry> uiFileBrowser::selectedEntries() const
{
    QList<Entry> entries;
    if (isIconViewCurrent()) {
        for (QListWidgetItem *item : m_icons->selectedItems())
            entries.append({item->data(PathRole).toString(), item->data(KindRole).toString(), item->text()});
    } else {
        for (QTreeWidgetItem *item : m_tree->selectedItems())
            entries.append({item->data(0, PathRole).toString(), item->data(1, PathRole).toString(), item->text(0)});
    }
    return entries;
}

void uiFileBrowser::on_actionNew_folder_triggered()
{
    // The folder is the one shown when asked, not whatever is shown after
    // the dialog (a contact's disc may go away meanwhile).
    const QString folder = currentPath;
    if (folder == Root)
        return;
    const QString name = QInputDialog::getText(this, tr("Enter directory name"), tr("directory:"), QLineEdit::Normal);
    if (name.isEmpty())
        return;
    const bool made = isOwnPath(folder) ? m_main.engine()->createDirectory(folder, name, ownUser())
                                        : WFtpCommands(m_main).createDirectory(folder, name);
    if (made)
        requestListDirectory(true);
    else
        tellRefusal(tr("New folder"), tr("The folder \u201c%1\u201d could not be made in %2.").arg(name, WFtpMain::shownPath(folder)),
                    folder, Right::Write);
}

void uiFileBrowser::on_actionRename_triggered()
{
    const QList<Entry> selection = selectedEntries();
    const QString folder = currentPath;
    if (selection.isEmpty() || folder == Root)
        return;
    const Entry entry = selection.first();
    const QString name =
        QInputDialog::getText(this, tr("Enter new name"), tr("Name:"), QLineEdit::Normal, entry.name);
    if (name.isEmpty())
        return;
    WaitCursor wait;
    const QString newPath = folder + QLatin1Char('/') + name;
    const bool renamed = isOwnPath(folder) ? m_main.engine()->renameFile(entry.path, newPath, ownUser())
                                           : WFtpCommands(m_main).renameFile(entry.path, newPath);
    if (!renamed) {
        tellRefusal(tr("Rename"),
                    tr("\u201c%1\u201d could not be renamed to \u201c%2\u201d in %3.")
                        .arg(entry.name, name, WFtpMain::shownPath(folder)),
                    folder, Right::Write);
        return;
    }
    // In place; found again by path, as the view may have been rebuilt
    // while the owner answered.
    for (int row = 0; row < m_tree->topLevelItemCount(); ++row) {
        QTreeWidgetItem *item = m_tree->topLevelItem(row);
        if (item->data(0, PathRole).toString() == entry.path) {
            item->setText(0, name);
            item->setData(0, PathRole, newPath);
        }
    }
    for (int row = 0; row < m_icons->count(); ++row) {
        QListWidgetItem *item = m_icons->item(row);
        if (item->data(PathRole).toString() == entry.path) {
            item->setText(name);
            item->setData(PathRole, newPath);
        }
    }
}

void uiFileBrowser::on_actionDelete_triggered()
{
    const QList<Entry> selection = selectedEntries();
    const QString folder = currentPath;
    if (selection.isEmpty())
        return;
    if (folder == Root)
        stopSharingSelected(selection);
    else
        deleteSelected(selection, folder);
}

void uiFileBrowser::stopSharingSelected(const QList<Entry> &selection)
{
    if (QMessageBox::question(this, tr("Stop sharing"), tr("Do you want to stop sharing the selected discs?"),
                              QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    WaitCursor wait;
    for (const Entry &entry : selection) {
        // Contacts' discs are theirs to stop sharing.
        if (!isOwnPath(entry.path))
            continue;
        const QString disc = m_main.engine()->splitPath(entry.path).gv(QStringLiteral("discname"));
        if (!m_main.stopSharing(disc))
            continue;
        discPaths.removeDuplicates();
        discPaths.removeAll(entry.path);
    }
    requestListDirectory(true);
}

void uiFileBrowser::deleteSelected(const QList<Entry> &selection, const QString &folder)
{
    if (QMessageBox::question(this, tr("Delete file"), tr("Do you want to delete selected files?"),
                              QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    QStringList paths;
    for (const Entry &entry : selection)
        paths.append(entry.path);
    if (paths.isEmpty())
        return;
    QStringList kept;
    bool deleted = false;
    {
        WaitCursor wait;
        deleted = isOwnPath(folder) ? m_main.engine()->deleteFiles(paths, ownUser(), &kept)
                                    : WFtpCommands(m_main).deleteFiles(paths, &kept);
    }
    // Some may have gone even when not all did: the folder shows what is left.
    requestListDirectory(true);
    if (!deleted) {
        QStringList names;
        for (const Entry &entry : selection)
            names.append(entry.name);
        tellRefusal(tr("Delete file"),
                    tr("Not everything selected could be deleted in %1: %2.")
                        .arg(WFtpMain::shownPath(folder), names.join(QStringLiteral(", "))),
                    folder, Right::Delete);
    }
    if (!kept.isEmpty())
        QMessageBox::information(this, tr("Delete file"),
                                 tr("These folders hold hidden files and were kept:") + QLatin1Char('\n')
                                     + shownPaths(kept).join(QLatin1Char('\n')));
}

void uiFileBrowser::on_actionShare_Folder_triggered()
{
    const QString disc = ShareFolderWizard::run(m_main, this);
    if (disc.isEmpty())
        return;
    discPaths.append(disc);
    if (currentPath == Root)
        requestListDirectory(false);
}

void uiFileBrowser::on_actionFolder_properties_triggered()
{
    const QList<Entry> selection = selectedEntries();
    QString target = currentPath;
    if (currentPath == Root) {
        if (selection.isEmpty())
            return;
        target = selection.first().path;
    } else if (!selection.isEmpty() && selection.first().kind == KindDirectory) {
        target = selection.first().path;
    }
    if (uiFolderPreferences::edit(m_main, target, this))
        requestListDirectory(false);
}

void uiFileBrowser::on_actionDownload_triggered()
{
    downloadSelected();
}

void uiFileBrowser::downloadSelected()
{
    // Taken before the dialog: the view may be rebuilt while it is open.
    const QString folder = currentPath;
    const QList<Entry> selection = selectedEntries();
    if (folder == Root || selection.isEmpty())
        return;
    const QString target = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), PSettings::GetValue(PSettings::LastFolderKey).toString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (target.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, target);
    QMap<QString, bool> items;
    for (const Entry &entry : selection)
        items.insert(entry.path, entry.kind != KindDirectory);
    m_transfers.addTransfer(items, target, folder);
}

void uiFileBrowser::on_actionUpload_triggered()
{
    const QList<Entry> selection = selectedEntries();
    if (currentPath == Root && selection.isEmpty())
        return;
    QString target = currentPath;
    if (!selection.isEmpty() && isFolderKind(selection.first().kind))
        target = selection.first().path;
    const QStringList paths =
        QFileDialog::getOpenFileNames(this, tr("Select files"), PSettings::GetValue(PSettings::LastFolderKey).toString());
    if (paths.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, QFileInfo(paths.first()).absolutePath());
    uploadPaths(paths, target);
}

QString uiFileBrowser::dropTarget(QTreeWidgetItem *item) const
{
    if (item && isFolderKind(item->data(1, PathRole).toString()))
        return item->data(0, PathRole).toString();
    return currentPath;
}

void uiFileBrowser::slotFilesDropped(QTreeWidgetItem *item, const QStringList &paths)
{
    const QString target = dropTarget(item);
    if (target != Root)
        uploadPaths(paths, target);
}

void uiFileBrowser::slotIconViewFilesDropped(const QStringList &paths)
{
    if (currentPath != Root)
        uploadPaths(paths, currentPath);
}

void uiFileBrowser::slotDiscItemsDropped(QTreeWidgetItem *item, const DiscItems &dragged)
{
    downloadInto(dropTarget(item), dragged);
}

void uiFileBrowser::slotIconViewDiscItemsDropped(const DiscItems &dragged)
{
    downloadInto(currentPath, dragged);
}

void uiFileBrowser::downloadInto(const QString &target, const DiscItems &dragged)
{
    // Only into the user's own folders: a contact's entries are not copied
    // between contacts' discs.
    if (target == Root || !isOwnPath(target))
        return;
    const QString local = m_main.engine()->translateToLocal(target);
    if (!local.isEmpty())
        m_transfers.addTransfer(dragged.items, local, dragged.folder);
}

void uiFileBrowser::uploadPaths(const QStringList &paths, const QString &target)
{
    // Grouped by the folder each lies in: a transfer names its items after
    // one base folder.
    QMap<QString, QMap<QString, bool>> byFolder;
    for (const QString &path : paths) {
        // "" stands for a URL that was no local file; it would pass as the
        // working directory.
        const QFileInfo info(path);
        if (path.isEmpty() || !info.exists())
            continue;
        byFolder[info.absoluteDir().absolutePath()].insert(info.absoluteFilePath(), !info.isDir());
    }
    for (auto it = byFolder.cbegin(); it != byFolder.cend(); ++it)
        m_transfers.addTransfer(it.value(), target, it.key());
}
