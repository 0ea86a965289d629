#include "uiAddUserWindow.h"

#include "BusyTriggers.h"
#include "ContactAdder.h"
#include "MainClass.h"
#include "WCommonOperations.h"
#include "WGraphicsOperations.h"

#include <MainServerCommands.h>
#include <WDataStructure.h>

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QTreeWidget>

uiAddUserWindow::uiAddUserWindow(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("uiAddUserWindowClass"));
    setWindowTitle(tr("Find User"));
    resize(423, 323);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(5);
    grid->setContentsMargins(5, 5, 5, 5);

    auto *searchBox = new QGroupBox(tr("Search parameters"));
    searchBox->setObjectName(QStringLiteral("groupBox"));
    auto *searchGrid = new QGridLayout(searchBox);
    searchGrid->setObjectName(QStringLiteral("gridLayout_2"));
    searchGrid->setSpacing(4);
    searchGrid->setContentsMargins(4, 4, 4, 4);
    auto *prompt = new QLabel(tr("Enter search text:"));
    prompt->setObjectName(QStringLiteral("label"));
    m_searchText = new QLineEdit;
    m_searchText->setObjectName(QStringLiteral("lineEdit"));
    auto *search = m_search = new QPushButton(tr("search"));
    search->setObjectName(QStringLiteral("pushButton"));
    search->setMaximumHeight(19);
    searchGrid->addWidget(prompt, 0, 0);
    searchGrid->addWidget(m_searchText, 0, 1);
    searchGrid->addWidget(search, 0, 2);
    grid->addWidget(searchBox, 0, 0);

    auto *resultsBox = new QGroupBox(tr("Results"));
    resultsBox->setObjectName(QStringLiteral("groupBox_2"));
    resultsBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *resultsGrid = new QGridLayout(resultsBox);
    resultsGrid->setObjectName(QStringLiteral("gridLayout_4"));
    resultsGrid->setSpacing(4);
    resultsGrid->setContentsMargins(4, 4, 4, 4);
    m_results = new QTreeWidget;
    m_results->setObjectName(QStringLiteral("treeWidget"));
    m_results->setHeaderLabels({tr("Username"), tr("Name"), tr("City")});
    m_results->setAlternatingRowColors(true);
    m_results->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_results->setRootIsDecorated(false);
    m_results->setDropIndicatorShown(false);
    resultsGrid->addWidget(m_results, 0, 0);
    grid->addWidget(resultsBox, 1, 0);

    auto *buttons = new QGridLayout;
    buttons->setObjectName(QStringLiteral("gridLayout_3"));
    buttons->setSpacing(6);
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0);
    auto *cancel = m_cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("pushButton_3"));
    cancel->setMaximumHeight(19);
    auto *add = m_add = new QPushButton(tr("Add selected"));
    add->setObjectName(QStringLiteral("pushButton_2"));
    add->setMaximumHeight(19);
    buttons->addWidget(cancel, 0, 1);
    buttons->addWidget(add, 0, 2);
    grid->addLayout(buttons, 2, 0);

    connect(search, &QPushButton::clicked, this, &uiAddUserWindow::on_pushButton_clicked);
    connect(m_searchText, &QLineEdit::returnPressed, this, &uiAddUserWindow::on_pushButton_clicked);
    connect(add, &QPushButton::clicked, this, &uiAddUserWindow::on_pushButton_2_clicked);
    connect(cancel, &QPushButton::clicked, this, &uiAddUserWindow::on_pushButton_3_clicked);
    connect(m_results, &QTreeWidget::itemActivated, this, &uiAddUserWindow::on_treeWidget_itemActivated);
}

void uiAddUserWindow::on_pushButton_clicked()
{
    m_results->clear();
    const QString text = m_searchText->text();
    if (text.length() < MinimumSearchLength)
        return;
    // The server is asked with events flowing: no second search or add meanwhile.
    const BusyTriggers busy{m_search, m_searchText, m_add, m_results};
    for (const KvrConfig &result : MainServerCommands::findUser(text)) {
        auto *row = new QTreeWidgetItem(m_results);
        row->setText(0, result.gv(QStringLiteral("username")).toLower());
        row->setIcon(0, QIcon(QPixmap::fromImage(WGraphicsOperations::getFlagImage(result.gv(QStringLiteral("country")), 20))));
        row->setText(1, result.gv(QStringLiteral("fullName")));
        row->setText(2, result.gv(QStringLiteral("city")));
    }
    for (int column = 0; column < m_results->columnCount(); ++column)
        m_results->resizeColumnToContents(column);
}

void uiAddUserWindow::on_treeWidget_itemActivated(QTreeWidgetItem *item, int column)
{
    Q_UNUSED(item)
    Q_UNUSED(column)
    on_pushButton_2_clicked();
}

void uiAddUserWindow::on_pushButton_2_clicked()
{
    // Each vCard is fetched with events flowing: Add runs once, and Cancel
    // cannot close the window under it.
    const BusyTriggers busy{m_search, m_searchText, m_add, m_cancel, m_results};
    QStringList added;
    for (const QTreeWidgetItem *row : m_results->selectedItems()) {
        const QString user = row->text(0);
        if (ContactAdder::add(user, row->text(1), row->text(2), MainServerCommands::getUserVCard(user)))
            added << user;
    }
    if (!added.isEmpty()) {
        WCommonOperations::saveAccount(true);
        for (const QString &user : added)
            MainClass::instance()->signalsDispatcher()->newContactAdded(user);
    }
    accept();
}

void uiAddUserWindow::on_pushButton_3_clicked()
{
    reject();
}
