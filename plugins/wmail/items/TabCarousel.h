#pragma once

#include <QList>
#include <QSharedPointer>
#include <QWidget>

class CarouselItem;
class QGraphicsScene;
class QGraphicsView;
class QTimeLine;

// A row of thumbnails in a black view; a pressed tile slides to the centre
// in a one-second animation.
class TabCarousel : public QWidget
{
    Q_OBJECT

public:
    static constexpr int Spacing = 90;

    explicit TabCarousel(QWidget *parent = nullptr);
    ~TabCarousel() override;

    QGraphicsView *view() const { return m_view; }
    QTimeLine *timeLine() const { return m_timeLine; }
    const QList<CarouselItem *> &tiles() const { return m_tiles; }
    int currentIndex() const { return m_current; }

    void addPicture(const QImage &picture, const QString &caption);
    void clearPictures();
    void arrangeItems();

signals:
    // A tile was double-clicked; its index.
    void pictureOpened(int index);

public slots:
    void activateRotation();
    void rotateView(int frame);

private:
    // Slides the tile at index to the centre; an index outside the row does nothing.
    void rotateTo(int index);

    QGraphicsScene *m_scene;
    QGraphicsView *m_view;
    QTimeLine *m_timeLine;
    QList<CarouselItem *> m_tiles;
    int m_current = 0;
    double m_offset = 0;
    int m_lastFrame = 0;
};
