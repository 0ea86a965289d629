#pragma once

#include <QDialog>
#include <QImage>
#include <QList>

class QGraphicsPixmapItem;
class QGraphicsScene;
class QGraphicsTextItem;
class QGraphicsView;
class QTimeLine;
class QToolButton;

// The full pictures of an album, large, in a sliding row; saves the front one.
class QPictureDetails : public QDialog
{
    Q_OBJECT

public:
    static constexpr int Side = 800;
    static constexpr int Height = 880;
    static constexpr int Spacing = 810;

    explicit QPictureDetails(QWidget *parent = nullptr);

    void addPicture(const QImage &picture, const QString &caption);
    // Kept within the pictures there are.
    void setCurrentIndex(int index);
    int currentIndex() const { return m_current; }
    int count() const { return m_tiles.size(); }
    QList<double> positions() const { return m_positions; }
    double scale() const;
    QTimeLine *timeLine() const { return m_timeLine; }
    QGraphicsPixmapItem *tile(int index) const { return m_tiles.value(index); }
    void arrangeItems();
    // Writes the front picture as JPEG; false when it could not be written.
    bool saveCurrent(const QString &path) const;

public slots:
    void pressTile(int index);
    void rotateView(int frame);
    void on_toolButton_clicked();

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateTiles();

    QGraphicsScene *m_scene;
    QGraphicsView *m_view;
    QTimeLine *m_timeLine;
    QList<QImage> m_pictures;
    QList<QGraphicsPixmapItem *> m_tiles;
    QList<QGraphicsTextItem *> m_captions;
    QList<double> m_positions;
    int m_current = 0;
    double m_offset = 0;
    int m_lastFrame = 0;
};
