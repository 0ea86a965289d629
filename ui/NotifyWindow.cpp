#include "NotifyWindow.h"

#include <QBitmap>
#include <QLabel>
#include <QPropertyAnimation>
#include <QPushButton>

const QSize NotifyWindow::WindowSize(200, 80);

NotifyWindow::NotifyWindow(QWidget *parent)
    : QWidget(parent)
    , m_background(new QLabel(this))
    , m_text(new QLabel(this))
    , m_clickArea(new QPushButton(this))
    , m_stayTimer(new QTimer(this))
    , m_delayTimer(new QTimer(this))
    , m_fadeIn(new QPropertyAnimation(this, "windowOpacity", this))
{
    setObjectName(QStringLiteral("NotifyWindowClass"));
    setWindowTitle(tr("Wivora notice"));
    // A pop-up of its own: no frame or title from the window manager, above
    // other windows, never in the task bar, never taking the keyboard from
    // what the user is doing.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(WindowSize);

    m_background->setObjectName(QStringLiteral("label"));
    m_background->setGeometry(0, 0, 200, 80);
    m_background->setPixmap(QPixmap(QStringLiteral(":/Wivora/Resources/notifywindow.png")));

    m_text->setObjectName(QStringLiteral("label_2"));
    m_text->setGeometry(0, 20, 201, 51);
    m_text->setTextFormat(Qt::PlainText);
    m_text->setAlignment(Qt::AlignCenter);
    m_text->setWordWrap(true);
    m_text->setText(QStringLiteral("TextLabel"));
    QPalette textPalette = m_text->palette();
    textPalette.setColor(QPalette::Active, QPalette::WindowText, Qt::white);
    textPalette.setColor(QPalette::Inactive, QPalette::WindowText, Qt::white);
    textPalette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    m_text->setPalette(textPalette);

    m_clickArea->setObjectName(QStringLiteral("pushButton"));
    m_clickArea->setGeometry(10, 20, 181, 51);
    m_clickArea->setFlat(true);
    m_clickArea->setFocusPolicy(Qt::NoFocus);
    // Only the text shows; the button is the click area over it.
    m_clickArea->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; }"));
    connect(m_clickArea, &QPushButton::clicked, this, &NotifyWindow::slotClicked);

    m_stayTimer->setObjectName(QStringLiteral("stayTimer"));
    m_stayTimer->setSingleShot(true);
    m_stayTimer->setInterval(StayMs);
    connect(m_stayTimer, &QTimer::timeout, this, &NotifyWindow::slotCloseWindow);
    m_delayTimer->setSingleShot(true);
    m_delayTimer->setInterval(ShowDelayMs);
    connect(m_delayTimer, &QTimer::timeout, this, &NotifyWindow::slotShowAnimation);

    m_fadeIn->setDuration(FadeInMs);
    m_fadeIn->setEasingCurve(QEasingCurve::OutCurve);
    m_fadeIn->setStartValue(0.0);
    m_fadeIn->setEndValue(1.0);
    connect(m_fadeIn, &QPropertyAnimation::finished, m_stayTimer, qOverload<>(&QTimer::start));
}

NotifyWindow::~NotifyWindow() = default;

void NotifyWindow::setText(const QString &text)
{
    m_text->setText(text);
}

QString NotifyWindow::text() const
{
    return m_text->text();
}

void NotifyWindow::slotCloseWindow()
{
    hide();
}

void NotifyWindow::showEvent(QShowEvent *event)
{
    // A new notice while one shows starts the cycle again from invisible.
    m_stayTimer->stop();
    m_fadeIn->stop();
    setWindowOpacity(0.0);
    QWidget::showEvent(event);
    m_delayTimer->start();
}

void NotifyWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const QBitmap mask(QStringLiteral(":/Wivora/Resources/notifywindowmask.bmp"));
    if (!mask.isNull())
        setMask(mask);
}

void NotifyWindow::slotShowAnimation()
{
    m_fadeIn->start();
}

void NotifyWindow::slotClicked()
{
    emit signalActivated();
    hide();
}
