#include "CarouselItem.h"

#include <QFontMetrics>
#include <QGraphicsTextItem>
#include <QLinearGradient>
#include <QPainter>
#include <QTextDocument>
#include <QTextOption>

CarouselItem::CarouselItem(const QImage &picture, const QString &caption, QGraphicsItem *parent)
    : QGraphicsPixmapItem(parent), m_caption(new QGraphicsTextItem(this))
{
    m_caption->setDefaultTextColor(Qt::white);
    QTextOption option(Qt::AlignCenter);
    option.setWrapMode(QTextOption::NoWrap);
    m_caption->document()->setDefaultTextOption(option);
    render(picture, caption);
}

QPixmap CarouselItem::standing(const QImage &picture, int width, int height)
{
    const QImage scaled = picture.scaled(width, width, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage reflection = scaled.mirrored(false, true)
                            .scaled(scaled.width(), 80, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    {
        QPainter fade(&reflection);
        QLinearGradient gradient(0, 0, 0, reflection.height());
        gradient.setColorAt(0, QColor(0, 0, 0, 140));
        gradient.setColorAt(1, Qt::transparent);
        fade.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        fade.fillRect(reflection.rect(), gradient);
    }
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::black);
    {
        QPainter painter(&pixmap);
        const int x = width / 2 - scaled.width() / 2;
        painter.drawImage(x, width - scaled.height(), scaled);
        painter.drawImage(x, width, reflection);
    }
    return pixmap;
}

void CarouselItem::render(const QImage &picture, const QString &caption)
{
    setPixmap(standing(picture, Width, Height));
    m_caption->setPlainText(QFontMetrics(m_caption->font()).elidedText(caption, Qt::ElideRight, 3 * Width));
    // Over the foot of the reflection, clear of the frame's edge: below the
    // tile it would fall outside the page's 140-pixel album.
    m_caption->setTransform(QTransform::fromTranslate(-Width, Height - 4 - m_caption->boundingRect().height()));
    m_caption->setZValue(1);
    updateTransform();
}

void CarouselItem::updateTransform()
{
    setTransform(QTransform::fromTranslate(m_position, 20));
    m_caption->setTextWidth(3 * Width);
    m_caption->setPos(0, 0);
    m_caption->setVisible(m_front);
    // The front tile, and so its caption, above its neighbours.
    setZValue(m_front ? 1 : 0);
}
