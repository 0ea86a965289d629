#include "SettingsDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

SettingsDialog::SettingsDialog(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("SettingsDialogClass"));
    setWindowTitle(tr("Wivora settings"));
    resize(400, 300);
    auto *outer = new QGridLayout(this);
    outer->setObjectName(QStringLiteral("gridLayout_2"));
    outer->setSpacing(2);
    outer->setContentsMargins(2, 2, 2, 2);
    auto *grid = new QGridLayout;
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(6);
    outer->addLayout(grid, 0, 0);

    m_contents = new QListWidget;
    m_contents->setObjectName(QStringLiteral("contentsList"));
    m_contents->setViewMode(QListView::IconMode);
    m_contents->setIconSize(QSize(50, 50));
    m_contents->setMovement(QListView::Static);
    m_contents->setFlow(QListView::TopToBottom);
    m_contents->setMaximumWidth(90);
    QFont small = m_contents->font();
    small.setPointSize(7);
    m_contents->setFont(small);
    m_pages = new QStackedWidget;
    m_pages->setObjectName(QStringLiteral("pagesWidget"));

    auto *top = new QHBoxLayout;
    top->addWidget(m_contents, 0);
    top->addWidget(m_pages, 1);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    auto *close = new QPushButton(tr("Close"));
    close->setObjectName(QStringLiteral("closeButton"));
    bottom->addWidget(close);
    auto *column = new QVBoxLayout;
    column->addLayout(top);
    column->addLayout(bottom);
    grid->addLayout(column, 0, 0);

    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(m_contents, &QListWidget::currentItemChanged, this, &SettingsDialog::changePage);
}

void SettingsDialog::addPage(QWidget *page, const QIcon &icon, const QString &text)
{
    m_pages->addWidget(page);
    auto *entry = new QListWidgetItem(icon, text, m_contents);
    entry->setTextAlignment(Qt::AlignHCenter);
    entry->setSizeHint(QSize(80, 80));
    entry->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
}

void SettingsDialog::changePage(QListWidgetItem *current, QListWidgetItem *previous)
{
    QListWidgetItem *shown = current ? current : previous;
    if (shown)
        m_pages->setCurrentIndex(m_contents->row(shown));
}
