#include "uiLinksDisplay.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QtMath>
#include <QRegularExpression>
#include <QTextEdit>
#include <QVBoxLayout>

uiLinksDisplay::uiLinksDisplay(QWidget *parent) : QDialog(parent), m_textEdit(new QTextEdit(this))
{
    setWindowTitle(tr("Web links"));
    resize(400, 300);
    auto *label = new QLabel(
        tr("Copy links below and send to recipient. Those links will lead user directly to your resources."), this);
    label->setObjectName(QStringLiteral("label"));
    label->setWordWrap(true);
    m_textEdit->setObjectName(QStringLiteral("textEdit"));
    m_textEdit->setStyleSheet(QStringLiteral("QTextEdit{\n\tbackground-color: rgb(255, 255, 255);\n}"));
    m_textEdit->setAcceptRichText(false);
    // One link a line: a link broken over lines is hard to tell from the next.
    m_textEdit->setLineWrapMode(QTextEdit::NoWrap);
    auto *close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("pushButton_2"));
    auto *copy = new QPushButton(tr("Copy to Clipboard and Close"), this);
    copy->setObjectName(QStringLiteral("pushButton"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    buttons->addWidget(copy);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_textEdit);
    layout->addLayout(buttons);

    connect(copy, &QPushButton::clicked, this, &uiLinksDisplay::on_pushButton_clicked);
    connect(close, &QPushButton::clicked, this, &uiLinksDisplay::on_pushButton_2_clicked);
}

void uiLinksDisplay::setLinks(const QString &links)
{
    m_textEdit->setPlainText(links);
    // Wide enough for a whole link where the screen allows.
    int widest = 0;
    for (const QString &line : links.split(QRegularExpression(QStringLiteral("[\\r\\n]+"))))
        widest = qMax(widest, m_textEdit->fontMetrics().horizontalAdvance(line));
    layout()->activate();
    const int chrome = width() - m_textEdit->width() + 2 * m_textEdit->frameWidth()
        + 2 * qCeil(m_textEdit->document()->documentMargin()) + style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    resize(qBound(width(), widest + chrome, MaxWidth), height());
}

void uiLinksDisplay::on_pushButton_clicked()
{
    QApplication::clipboard()->setText(m_textEdit->toPlainText());
    accept();
}

void uiLinksDisplay::on_pushButton_2_clicked()
{
    reject();
}
