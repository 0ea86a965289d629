#pragma once

#include <QWidget>

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

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    TabCarousel *m_carousel;
};
