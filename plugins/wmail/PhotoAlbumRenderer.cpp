#include "PhotoAlbumRenderer.h"

#include "TabCarousel.h"
#include "WMailPhotoAlbum.h"

#include <QGraphicsView>
#include <QGridLayout>
#include <QResizeEvent>

PhotoAlbumRenderer::PhotoAlbumRenderer(QWidget *parent) : QWidget(parent), m_carousel(new TabCarousel(this))
{
    setObjectName(QStringLiteral("PhotoAlbumRendererClass"));
    setWindowTitle(QStringLiteral("PhotoAlbumRenderer"));
    resize(400, 300);
    auto *outer = new QGridLayout(this);
    outer->setSpacing(1);
    outer->setContentsMargins(1, 1, 1, 1);
    auto *grid = new QGridLayout;
    grid->setSpacing(6);
    outer->addLayout(grid, 0, 0);
    grid->addWidget(m_carousel, 0, 0);
    setStyleSheet(QStringLiteral("background: black; border-style: none"));
}

void PhotoAlbumRenderer::loadPreview(const QByteArray &preview)
{
    m_carousel->clearPictures();
    m_carousel->view()->centerOn(0, height() / 2);
    for (const WMailPhotoAlbum::Picture &picture : WMailPhotoAlbum::readPictures(preview))
        m_carousel->addPicture(picture.image, picture.name);
    m_carousel->arrangeItems();
}

void PhotoAlbumRenderer::resizeEvent(QResizeEvent *event)
{
    const int w = event->size().width();
    const int h = event->size().height();
    m_carousel->view()->setSceneRect(-w, 0, 2 * w, h);
    m_carousel->arrangeItems();
    m_carousel->view()->centerOn(0, 0);
    QWidget::resizeEvent(event);
}
