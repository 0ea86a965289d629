#include "ElidedLabel.h"

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setMinimumWidth(1);
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (text == m_fullText)
        return;
    m_fullText = text;
    setToolTip(text);
    showElided();
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    showElided();
}

void ElidedLabel::showElided()
{
    setText(fontMetrics().elidedText(m_fullText, Qt::ElideLeft, width()));
}
