#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QPropertyAnimation;
class QPushButton;

// The small pop-up that tells of an activity while the main window is behind
// others: it fades in after a short delay, stays a while and hides; a click
// on it asks for the main window. The text is shown as plain text, since it
// may quote what other users typed.
class NotifyWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ShowDelayMs = 200;
    static constexpr int FadeInMs = 1000;
    static constexpr int StayMs = 15000;
    static const QSize WindowSize;

    explicit NotifyWindow(QWidget *parent = nullptr);
    ~NotifyWindow() override;

    void setText(const QString &text);
    QString text() const;

signals:
    // The user clicked the pop-up: bring the main window up.
    void signalActivated();

public slots:
    void slotCloseWindow();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void slotShowAnimation();
    void slotClicked();

private:
    QLabel *m_background;
    QLabel *m_text;
    QPushButton *m_clickArea;
    QTimer *m_stayTimer;
    QTimer *m_delayTimer;
    QPropertyAnimation *m_fadeIn;
};
