#pragma once

#include <QProxyStyle>

// The program's look: translucent "glass" panels, tool bars, check boxes and
// status bar over the window's background picture, and the contact list
// ("listakontaktow") and its header drawn in its own way. Everything else is
// drawn by the Fusion style underneath.
class QWivoraStyle : public QProxyStyle
{
    Q_OBJECT

public:
    QWivoraStyle();
    ~QWivoraStyle() override;

    void polish(QPalette &palette) override;
    // Widgets other than progress bars stop filling their background, so the
    // window's picture shows through.
    void polish(QWidget *widget) override;
    using QProxyStyle::polish;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget = nullptr) const override;

private:
    static bool isContactList(const QWidget *widget);
    // White, brighter in the upper half with a sharp step in the middle; alpha
    // is the strength at the top.
    static void fillGlass(QPainter *painter, const QPainterPath &path, int alpha);
};
