// Draws the program's own pictures (logo, backgrounds, icons, the pop-up's
// shape, the row arrows) into a folder. The output is kept in the source tree
// (resources/ui), so a build does not depend on this tool; run it again
// through the target "ui_images" after changing a drawing.
//
//   make_ui_images OUTPUT_FOLDER

#include <QBitmap>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cmath>

namespace {

const QColor Navy(0, 79, 146);
const QColor Sky(64, 160, 230);

QImage transparent(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A rounded blue badge with a white "W" drawn as a stroke path.
QImage logo(int size)
{
    QImage image = transparent(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal m = size * 0.04;
    QRadialGradient fill(size * 0.35, size * 0.3, size * 0.9);
    fill.setColorAt(0, Sky.lighter(130));
    fill.setColorAt(1, Navy);
    p.setBrush(fill);
    p.setPen(QPen(Navy.darker(130), qMax(1.0, size / 40.0)));
    p.drawRoundedRect(QRectF(m, m, size - 2 * m, size - 2 * m), size * 0.22, size * 0.22);
    QPainterPath w;
    w.moveTo(size * 0.2, size * 0.3);
    w.lineTo(size * 0.35, size * 0.72);
    w.lineTo(size * 0.5, size * 0.42);
    w.lineTo(size * 0.65, size * 0.72);
    w.lineTo(size * 0.8, size * 0.3);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, size * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(w);
    return image;
}

QImage background()
{
    QImage image(1280, 1024, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, image.height());
    fill.setColorAt(0, QColor(38, 112, 186));
    fill.setColorAt(0.45, QColor(96, 164, 222));
    fill.setColorAt(1, QColor(205, 228, 247));
    p.fillRect(image.rect(), fill);
    // Soft light bands, so the glass panels have something to show through.
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 5; ++i) {
        QPainterPath band;
        const qreal y = 140 + i * 70;
        band.moveTo(0, y);
        band.cubicTo(420, y - 90, 860, y + 120, 1280, y - 30);
        band.lineTo(1280, y + 16);
        band.cubicTo(860, y + 150, 420, y - 60, 0, y + 26);
        band.closeSubpath();
        p.fillPath(band, QColor(255, 255, 255, 22));
    }
    return image;
}

QImage userHeader()
{
    QImage image(600, 80, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, image.height());
    fill.setColorAt(0, QColor(78, 146, 214));
    fill.setColorAt(0.5, QColor(36, 108, 180));
    fill.setColorAt(1, QColor(22, 84, 150));
    p.fillRect(image.rect(), fill);
    p.fillRect(QRect(0, 0, 600, 40), QColor(255, 255, 255, 30));
    return image;
}

QImage checkTick()
{
    QImage image = transparent(13, 13);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 58, 165), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(2.5, 6.5);
    tick.lineTo(5.5, 9.5);
    tick.lineTo(10.5, 3);
    p.drawPath(tick);
    return image;
}

// Eight dots on a circle, fading: the usual "busy" sign.
QImage busy()
{
    QImage image = transparent(48, 48);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        const qreal angle = i * M_PI / 4;
        const QPointF centre(24 + 16 * std::cos(angle), 24 + 16 * std::sin(angle));
        p.setBrush(QColor(0, 79, 146, 60 + i * 24));
        p.drawEllipse(centre, 4.5, 4.5);
    }
    return image;
}

// A wrench over a cog wheel.
QImage tools()
{
    QImage image = transparent(48, 48);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath cog;
    for (int i = 0; i < 8; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-3.5, -20, 7, 10), 1.5, 1.5);
        cog.addPath(QTransform().translate(24, 24).rotate(i * 45).map(tooth));
    }
    cog.addEllipse(QPointF(24, 24), 14, 14);
    QPainterPath hole;
    hole.addEllipse(QPointF(24, 24), 6, 6);
    p.setPen(QPen(QColor(60, 60, 70), 1.2));
    p.setBrush(QColor(150, 156, 168));
    p.drawPath(cog.simplified().subtracted(hole));
    p.setPen(QPen(Navy.darker(120), 1));
    p.setBrush(Sky);
    QPainterPath wrench;
    wrench.addRoundedRect(QRectF(-3, -4, 6, 30), 2, 2);
    wrench.addEllipse(QPointF(0, -6), 7, 7);
    QPainterPath jaw;
    jaw.addRect(QRectF(-2.5, -15, 5, 9));
    p.drawPath(QTransform().translate(30, 20).rotate(40).map(wrench.simplified().subtracted(jaw)));
    return image;
}

// Four tiles: the dashboard.
QImage dashboard()
{
    QImage image = transparent(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Navy, 1));
    const QColor colours[] = {Sky, QColor(90, 190, 90), QColor(240, 180, 40), QColor(220, 80, 70)};
    for (int i = 0; i < 4; ++i) {
        p.setBrush(colours[i]);
        p.drawRoundedRect(QRectF(1.5 + (i % 2) * 7, 1.5 + (i / 2) * 7, 6, 6), 1.5, 1.5);
    }
    return image;
}

QImage blankAvatar()
{
    QImage image(96, 96, QImage::Format_RGB32);
    image.fill(QColor(226, 232, 240));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(160, 172, 188));
    p.drawEllipse(QPointF(48, 36), 18, 20);
    p.drawEllipse(QRectF(14, 62, 68, 70));
    return image;
}

QPainterPath popupShape()
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0.5, 0.5, 199, 79), 10, 10);
    return shape;
}

QImage popupBackground()
{
    QImage image = transparent(200, 80);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 80);
    fill.setColorAt(0, QColor(52, 126, 200));
    fill.setColorAt(0.5, QColor(24, 92, 164));
    fill.setColorAt(1, QColor(14, 64, 124));
    p.setBrush(fill);
    p.setPen(QPen(QColor(200, 226, 250), 1));
    p.drawPath(popupShape());
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 36));
    p.drawRoundedRect(QRectF(3, 3, 194, 36), 8, 8);
    return image;
}

// 1-bit pictures: the set (black) pixels are what counts.
QImage monochrome(const QImage &drawing)
{
    return drawing.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
}

QImage popupMask()
{
    QImage image(200, 80, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.fillPath(popupShape(), Qt::black);
    return monochrome(image);
}

QImage arrow(bool up)
{
    QImage image(15, 15, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    QPolygon head;
    head << QPoint(7, 0) << QPoint(14, 7) << QPoint(10, 7) << QPoint(10, 14) << QPoint(4, 14) << QPoint(4, 7)
         << QPoint(0, 7);
    if (!up)
        head = QTransform().translate(0, 14).scale(1, -1).map(head);
    p.drawPolygon(head);
    p.end();
    return monochrome(image);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: make_ui_images OUTPUT_FOLDER\n";
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    const struct {
        const char *name;
        QImage image;
    } pictures[] = {
        {"wivora30.png", logo(30)},
        {"wivora250.png", logo(250)},
        {"podkladblue.jpg", background()},
        {"styleuserheader.jpg", userHeader()},
        {"checkbox.png", checkTick()},
        {"rotate.png", busy()},
        {"configtools.png", tools()},
        {"dispatcher.png", dashboard()},
        {"blankavatar.jpg", blankAvatar()},
        {"notifywindow.png", popupBackground()},
        {"notifywindowmask.bmp", popupMask()},
        {"Arrow-Up.bmp", arrow(true)},
        {"Arrow-Down.bmp", arrow(false)},
    };
    for (const auto &picture : pictures) {
        const QString path = out.filePath(QString::fromLatin1(picture.name));
        const int quality = path.endsWith(QLatin1String(".jpg")) ? 92 : -1;
        if (!picture.image.save(path, nullptr, quality)) {
            QTextStream(stderr) << "cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
