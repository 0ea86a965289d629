#pragma once

#include <QGraphicsPixmapItem>
#include <QImage>
#include <QObject>

class QGraphicsTextItem;

// One tile of the photo carousel: the thumbnail standing on a line with its
// fading reflection below, and its caption, shown on the front tile only.
class CarouselItem : public QObject, public QGraphicsPixmapItem
{
    Q_OBJECT

public:
    static constexpr int Width = 80;
    static constexpr int Height = 120;

    CarouselItem(const QImage &picture, const QString &caption, QGraphicsItem *parent = nullptr);

    double position() const { return m_position; }
    void setPosition(double position) { m_position = position; }
    bool isFront() const { return m_front; }
    void setFront(bool front) { m_front = front; }
    QGraphicsTextItem *captionItem() const { return m_caption; }

    // A black width x height pixmap with the picture fitted into width x
    // width standing on the line y = width, its fading reflection below.
    static QPixmap standing(const QImage &picture, int width, int height);

    void updateTransform();

signals:
    void clicked();
    void doubleclicked();

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent *) override { emit clicked(); }
    void mouseDoubleClickEvent(QGraphicsSceneMouseEvent *) override { emit doubleclicked(); }

private:
    void render(const QImage &picture, const QString &caption);

    bool m_front = false;
    double m_position = 0;
    QGraphicsTextItem *m_caption;
};
