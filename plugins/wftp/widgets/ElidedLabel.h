#pragma once

#include <QLabel>

// A one-line label that shortens its text from the start to the width it is
// given (a path keeps its file name and the state written after it) and
// holds the whole text in its tool tip. Its text is never markup. It never asks for more width than one
// character, so a long text cannot widen its row.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showElided();

    QString m_fullText;
};
