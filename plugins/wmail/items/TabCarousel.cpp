#include "TabCarousel.h"

#include "CarouselItem.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QShortcut>
#include <QTimeLine>
#include <QVBoxLayout>

#include <functional>

TabCarousel::TabCarousel(QWidget *parent)
    : QWidget(parent), m_scene(new QGraphicsScene(this)), m_view(new QGraphicsView(m_scene, this)),
      m_timeLine(new QTimeLine(1000, this))
{
    m_view->setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    m_view->setCacheMode(QGraphicsView::CacheBackground);
    m_view->setResizeAnchor(QGraphicsView::AnchorViewCenter);
    m_view->setTransformationAnchor(QGraphicsView::AnchorViewCenter);
    m_view->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    m_view->setStyleSheet(QStringLiteral("background: black; border-style: none"));
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_timeLine->setFrameRange(0, 100);
    connect(m_timeLine, &QTimeLine::frameChanged, this, &TabCarousel::rotateView);
    // With the focus on the row: the arrows slide the next or the previous
    // picture to the front, Return opens the front one.
    m_view->setFocusPolicy(Qt::StrongFocus);
    const auto key = [this](int key, const std::function<void()> &action) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    key(Qt::Key_Right, [this] { rotateTo(m_current + 1); });
    key(Qt::Key_Left, [this] { rotateTo(m_current - 1); });
    for (int open : {Qt::Key_Return, Qt::Key_Enter}) {
        key(open, [this] {
            if (!m_tiles.isEmpty())
                emit pictureOpened(m_current);
        });
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
}

TabCarousel::~TabCarousel()
{
    // Tiles are QObjects the scene does not know as such: deleted here,
    // before the scene.
    qDeleteAll(m_tiles);
}

void TabCarousel::addPicture(const QImage &picture, const QString &caption)
{
    auto *tile = new CarouselItem(picture, caption);
    connect(tile, &CarouselItem::clicked, this, &TabCarousel::activateRotation);
    connect(tile, &CarouselItem::doubleclicked, this, [this, tile] {
        const int index = m_tiles.indexOf(tile);
        if (index >= 0)
            emit pictureOpened(index);
    });
    m_tiles << tile;
    m_scene->addItem(tile);
}

void TabCarousel::clearPictures()
{
    m_timeLine->stop();
    qDeleteAll(m_tiles);
    m_tiles.clear();
    m_current = 0;
    arrangeItems();
}

void TabCarousel::arrangeItems()
{
    m_current = qBound(0, m_current, qMax(0, m_tiles.size() - 1));
    for (int i = 0; i < m_tiles.size(); ++i) {
        CarouselItem *tile = m_tiles.at(i);
        tile->setPosition((i - m_current) * Spacing - Spacing / 2);
        tile->setFront(i == m_current);
        tile->updateTransform();
    }
}

void TabCarousel::activateRotation()
{
    rotateTo(m_tiles.indexOf(qobject_cast<CarouselItem *>(sender())));
}

void TabCarousel::rotateTo(int index)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    CarouselItem *tile = m_tiles.at(index);
    m_current = index;
    // The pressed tile ends with its pixmap centred on x = 0.
    m_offset = -CarouselItem::Width / 2 - tile->position();
    m_lastFrame = 0;
    if (m_timeLine->state() != QTimeLine::Running)
        m_timeLine->start();
}

void TabCarousel::rotateView(int frame)
{
    const double step = m_offset / 100;
    for (int i = 0; i < m_tiles.size(); ++i) {
        CarouselItem *tile = m_tiles.at(i);
        tile->setPosition(tile->position() + step * frame - step * m_lastFrame);
        tile->setFront(i == m_current);
        tile->updateTransform();
    }
    m_lastFrame = frame;
}
