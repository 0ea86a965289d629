#pragma once

#include "IWMailConversation.h"

#include <QWeakPointer>
#include <QWidget>

class QPictureDetails;
class TabCarousel;

// A received photo album inside the conversation page: its thumbnails in a
// carousel. The page's web engine owns it.
class PhotoAlbumRenderer : public QWidget
{
    Q_OBJECT

public:
    explicit PhotoAlbumRenderer(QWidget *parent = nullptr);

    TabCarousel *carousel() const { return m_carousel; }
    // Fills the carousel from an item preview; thumbnails that do not decode
    // are left out.
    void loadPreview(const QByteArray &preview);
    // Where the album's full pictures are read from when one is opened.
    void setItem(const QWeakPointer<IWMailConversation> &conversation, const QString &itemId);
    // Opens the viewer on the album's full pictures at index (clamped), as
    // a window of its own; null when none decodes.
    QPictureDetails *openPictures(int index);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    TabCarousel *m_carousel;
    QWeakPointer<IWMailConversation> m_conversation;
    QString m_itemId;
};
