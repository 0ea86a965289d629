#include "PhotoAlbumRenderer.h"

#include "QPictureDetails.h"
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
    connect(m_carousel, &TabCarousel::pictureOpened, this, &PhotoAlbumRenderer::openPictures);
}

void PhotoAlbumRenderer::setItem(const QWeakPointer<IWMailConversation> &conversation, const QString &itemId)
{
    m_conversation = conversation;
    m_itemId = itemId;
}

QPictureDetails *PhotoAlbumRenderer::openPictures(int index)
{
    const QSharedPointer<IWMailConversation> conversation = m_conversation.toStrongRef();
    if (!conversation)
        return nullptr;
    const QList<WMailPhotoAlbum::Picture> pictures = WMailPhotoAlbum::readPictures(conversation->loadItemData(m_itemId));
    if (pictures.isEmpty())
        return nullptr;
    // The page's engine may delete this widget at any time: the viewer
    // belongs to the window and runs without a nested event loop.
    auto *viewer = new QPictureDetails(window());
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    for (const WMailPhotoAlbum::Picture &picture : pictures)
        viewer->addPicture(picture.image, picture.name);
    viewer->setCurrentIndex(index);
    viewer->arrangeItems();
    viewer->open();
    return viewer;
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
