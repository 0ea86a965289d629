#include "uiWebFileProperties.h"

#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("uiWebFilePropertiesClass", source);
}

// Headings stand a point above the field labels; both bold, in the
// application's own font (the form's Windows font is not on this system).
QLabel *boldLabel(const QString &caption, qreal pointsAbove, const QString &name, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(name);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() + pointsAbove);
    label->setFont(font);
    return label;
}

QLabel *wrappedLabel(const QString &caption, const QString &name, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    return label;
}

QHBoxLayout *fieldRow(QLabel *label, QWidget *field)
{
    auto *row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(field);
    row->addStretch();
    return row;
}

} // namespace

uiWebFileProperties::uiWebFileProperties(QWidget *parent)
    : QWizardPage(parent), m_dateTimeEdit(new QDateTimeEdit(this)), m_lineEdit(new QLineEdit(this))
{
    setWindowTitle(QStringLiteral("uiWebFileProperties"));
    m_dateTimeEdit->setObjectName(QStringLiteral("dateTimeEdit"));
    m_dateTimeEdit->setDateTime(QDateTime::currentDateTime().addDays(1));
    m_lineEdit->setObjectName(QStringLiteral("lineEdit"));
    // Typed where others may look on: shown as dots like any password.
    m_lineEdit->setEchoMode(QLineEdit::Password);
    m_lineEdit->setStyleSheet(
        QStringLiteral("QLineEdit{\n\tborder-color: rgb(112, 112, 112);\n \tborder-width: 1px; \n  border-style: solid;\n}"));

    auto *grid = new QGridLayout(this);
    grid->addWidget(boldLabel(text("Set file expiration time"), 1, QStringLiteral("label"), this), 0, 0);
    grid->addWidget(wrappedLabel(text("Select date when file should not be longer shared. Default period time is 1 day."),
                                 QStringLiteral("label_2"), this),
                    1, 0);
    grid->addLayout(fieldRow(boldLabel(text("Select expiration time"), 0, QStringLiteral("label_3"), this),
                             m_dateTimeEdit),
                    2, 0);
    grid->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Fixed), 3, 0);
    grid->addWidget(boldLabel(text("Set file access password"), 1, QStringLiteral("label_4"), this), 4, 0);
    grid->addWidget(wrappedLabel(text("Set password which user has to enter before file downloading.  If you leave "
                                      "this field blank everyone can be able to download your file without "
                                      "restrictions."),
                                 QStringLiteral("label_5"), this),
                    5, 0);
    grid->addLayout(fieldRow(boldLabel(text("Enter password"), 0, QStringLiteral("label_6"), this), m_lineEdit), 6, 0);
    grid->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding), 7, 0);
}

void uiWebFileProperties::showValues()
{
    m_dateTimeEdit->setDateTime(validTo);
    m_lineEdit->setText(password);
}

void uiWebFileProperties::readValues()
{
    validTo = m_dateTimeEdit->dateTime();
    password = m_lineEdit->text();
}
