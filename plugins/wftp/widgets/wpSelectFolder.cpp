#include "wpSelectFolder.h"

#include "FormControls.h"

#include <PSettings.h>

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>

namespace {
const QString kFieldStyle = QStringLiteral("border: 1px solid rgb(112, 112, 112);");

QLineEdit *borderedEdit(const QString &objectName, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(objectName);
    edit->setStyleSheet(kFieldStyle);
    return edit;
}

bool pathExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}
} // namespace

wpSelectFolder::wpSelectFolder(QWidget *parent)
    : QWizardPage(parent)
{
    setObjectName(QStringLiteral("wpSelectFolder"));
    resize(431, 319);
    m_path = borderedEdit(QStringLiteral("lineEdit"), this);
    m_current = FormControls::heading(QStringLiteral("label_4"), QString(), 8, this);
    // A long path must not widen the page: it shows what fits, the tool tip all.
    m_current->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_name = borderedEdit(QStringLiteral("lineEdit_2"), this);
    auto *browse = new QPushButton(tr("Browse ..."), this);
    browse->setObjectName(QStringLiteral("pushButton"));

    auto *grid = new QGridLayout(this);
    grid->addWidget(FormControls::heading(QStringLiteral("label"), tr("Select folder you want to share"), 9, this), 0,
                    0, 1, 3);
    grid->addWidget(FormControls::richText(
                        QStringLiteral("label_8"),
                        tr("Select folder you want to share content with others. Content will be visible only to<br/>"
                           "those users which you select as appropriate.<br/>If you do not choose users your folder "
                           "will be visible only to you."),
                        this),
                    1, 0, 1, 3);
    QLabel *pathLabel = FormControls::heading(QStringLiteral("label_2"), tr("Select &folder"), 8, this);
    pathLabel->setBuddy(m_path);
    grid->addWidget(pathLabel, 2, 0);
    grid->addWidget(m_path, 2, 1);
    grid->addWidget(browse, 2, 2);
    grid->addWidget(FormControls::label(QStringLiteral("label_3"), tr("Currently you want to share folder"), this), 3,
                    0, 1, 3);
    // Below its caption, the path has the page's whole width.
    grid->addWidget(m_current, 4, 0, 1, 3, Qt::AlignTop);
    grid->setRowStretch(4, 1);
    grid->addWidget(FormControls::heading(QStringLiteral("label_5"), tr("Enter your folder name"), 9, this), 5, 0, 1,
                    3);
    grid->addWidget(FormControls::richText(QStringLiteral("label_6"),
                                         tr("If you want to change folder display name which will be displayed to "
                                            "users, change<br/>text below. It doesn't affect existing folder. This "
                                            "name is only for your convenience."),
                                         this),
                    6, 0, 1, 3);
    QLabel *nameLabel = FormControls::heading(QStringLiteral("label_7"), tr("Enter folder &display name: "), 8, this);
    nameLabel->setBuddy(m_name);
    grid->addWidget(nameLabel, 7, 0);
    grid->addWidget(m_name, 7, 1, 1, 2);
    grid->addItem(new QSpacerItem(20, 20, QSizePolicy::Minimum, QSizePolicy::Expanding), 8, 0);
    grid->setColumnStretch(1, 1);
    QMetaObject::connectSlotsByName(this);
}

void wpSelectFolder::on_pushButton_clicked()
{
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), PSettings::GetValue(PSettings::LastFolderKey).toString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (chosen.isEmpty())
        return;
    PSettings::SetValue(PSettings::LastFolderKey, chosen);
    takeFolder(chosen);
}

void wpSelectFolder::on_lineEdit_textChanged(const QString &text)
{
    if (pathExists(text))
        takeFolder(text);
}

void wpSelectFolder::takeFolder(const QString &path)
{
    folderPath = path;
    m_current->setText(path);
    m_current->setToolTip(path);
    if (m_path->text() != path)
        m_path->setText(path);
    m_name->setText(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
}

bool wpSelectFolder::validatePage()
{
    displayName = m_name->text();
    return !displayName.contains(QLatin1Char('/')) && pathExists(folderPath);
}
