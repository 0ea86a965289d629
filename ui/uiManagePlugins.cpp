#include "uiManagePlugins.h"

#include "ClientVersion.h"
#include "MainClass.h"
#include "BusyTriggers.h"
#include "StagedDownload.h"

#include <MainServerCommands.h>
#include <PSettings.h>
#include <WDataStructure.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

namespace {
const QString RemovalSetting = QStringLiteral("pluginstoremove");
const int PathRole = Qt::UserRole + 1;
} // namespace

uiManagePlugins::uiManagePlugins(QWidget *parent)
    : QDialog(parent)
    , m_download(new StagedDownload(this))
{
    setObjectName(QStringLiteral("uiManagePluginsClass"));
    setWindowTitle(tr("Plugins"));
    resize(428, 332);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    auto *title = new QLabel(tr("Wivora plugins"));
    title->setObjectName(QStringLiteral("label"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    grid->addWidget(title, 0, 0);
    m_tree = new QTreeWidget;
    m_tree->setObjectName(QStringLiteral("treeWidget"));
    m_tree->setHeaderLabels({tr("Plugin name"), tr("Plugin description")});
    m_tree->setRootIsDecorated(false);
    grid->addWidget(m_tree, 1, 0);
    auto *buttons = new QGridLayout;
    buttons->setObjectName(QStringLiteral("gridLayout_2"));
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0);
    auto *cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("pushButton_2"));
    m_ok = new QPushButton(tr("OK"));
    m_ok->setObjectName(QStringLiteral("pushButton"));
    buttons->addWidget(cancel, 0, 1);
    buttons->addWidget(m_ok, 0, 2);
    grid->addLayout(buttons, 3, 0);
    connect(m_ok, &QPushButton::clicked, this, &uiManagePlugins::on_pushButton_clicked);
    connect(cancel, &QPushButton::clicked, this, &uiManagePlugins::on_pushButton_2_clicked);
}

uiManagePlugins::~uiManagePlugins() = default;

void uiManagePlugins::fillPluginList()
{
    m_tree->clear();
    const QSharedPointer<WDataStructure> catalogue =
        MainServerCommands::getWivoraPlugins(QLatin1String(ClientVersion::Platform));
    WPluginManager *plugins = MainClass::instance()->pluginManager();
    for (const auto &entry : catalogue->getChildren()) {
        auto *item = new QTreeWidgetItem;
        const QString name = entry->gv(QStringLiteral("Name"));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, plugins->isPluginLoaded(name) ? Qt::Checked : Qt::Unchecked);
        item->setText(0, name);
        item->setText(1, entry->gv(QStringLiteral("Description")));
        item->setData(0, PathRole, entry->gv(QStringLiteral("Path")));
        m_tree->addTopLevelItem(item);
    }
    for (int column = 0; column < m_tree->columnCount(); ++column)
        m_tree->resizeColumnToContents(column);
}

void uiManagePlugins::on_pushButton_clicked()
{
    if (m_tree->topLevelItemCount() == 0) {
        accept();
        return;
    }
    // The downloads keep events flowing: OK must not run twice meanwhile.
    const BusyTriggers busy{m_ok};
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WPluginManager *plugins = MainClass::instance()->pluginManager();
    const QString updateFolder = WPluginManager::updateFolder();
    QDir().mkpath(updateFolder);
    QString removals;
    QStringList notStaged;
    bool staged = false;
    for (int i = 0; i < m_tree->topLevelItemCount() && !m_download->isCancelled(); ++i) {
        const QTreeWidgetItem *item = m_tree->topLevelItem(i);
        const QString name = item->text(0);
        const bool loaded = plugins->isPluginLoaded(name);
        if (item->checkState(0) == Qt::Checked && !loaded) {
            const QUrl address(item->data(0, PathRole).toString());
            const QString fileName = StagedDownload::fileNameOf(address);
            if (fileName.isEmpty()) {
                notStaged << name;
                continue;
            }
            const QString target = updateFolder + QLatin1Char('/') + fileName;
            if (QFile::exists(target)) {
                staged = true;
                continue;
            }
            const StagedDownload::Result result = m_download->fetch(address, target);
            if (result == StagedDownload::Result::Staged)
                staged = true;
            else if (result == StagedDownload::Result::Failed)
                notStaged << name;
        } else if (item->checkState(0) != Qt::Checked && loaded) {
            removals += name + QLatin1Char('|');
        }
    }
    QApplication::restoreOverrideCursor();
    // Cancelled (the Cancel button or a logout): nothing more is changed.
    if (m_download->isCancelled())
        return;
    const bool removalsChanged = PSettings::GetValue(RemovalSetting).toString() != removals;
    PSettings::SetValue(RemovalSetting, removals);
    for (const QString &name : notStaged) {
        QMessageBox warning(QMessageBox::Warning, tr("Plugins"),
                            tr("The plugin %1 could not be downloaded.").arg(name), QMessageBox::Ok, this);
        // The name comes from the server: shown as it is, never as markup.
        warning.setTextFormat(Qt::PlainText);
        warning.exec();
    }
    if (staged || removalsChanged || !removals.isEmpty())
        QMessageBox::information(this, tr("Plugins"), tr("Restart Wivora to apply changes"), QMessageBox::Ok);
    accept();
}

void uiManagePlugins::on_pushButton_2_clicked()
{
    reject();
}

void uiManagePlugins::reject()
{
    cancelDownloads();
    QDialog::reject();
}

void uiManagePlugins::cancelDownloads()
{
    m_download->cancel();
}
