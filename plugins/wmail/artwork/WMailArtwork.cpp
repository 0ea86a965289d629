// Draws the messaging page's pictures (bubble pieces, background, emoticons,
// editor icons) into the plug-in's Resources folder. Run by hand when a
// picture changes: `wmail_artwork plugins/wmail/Resources`; the pictures are
// kept in the repository so the build needs no drawing step.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QVector>

#include <cstdio>

namespace {

QString g_out;

bool save(const QImage &image, const QString &name, const char *format = nullptr, int quality = -1)
{
    const QString path = g_out + QLatin1Char('/') + name;
    if (!image.save(path, format, quality)) {
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// A GIF (Qt reads but does not write them): at most 127 colours and a
// transparent index 0, written with the uncompressed form of LZW (a clear
// code before the table would outgrow eight-bit codes).
QByteArray encodeGif(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    QVector<QRgb> palette{0};
    QHash<QRgb, int> index;
    QVector<uchar> pixels;
    for (int shift = 0; shift < 8; ++shift) {
        palette = {0};
        index.clear();
        pixels.clear();
        const uint mask = 0xFFu << shift & 0xFFu;
        const QRgb channelMask = qRgb(int(mask), int(mask), int(mask));
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (qAlpha(pixel) < 128) {
                    pixels.append(0);
                    continue;
                }
                const QRgb colour = (pixel & channelMask) | 0xFF000000u;
                if (!index.contains(colour)) {
                    index.insert(colour, palette.size());
                    palette.append(colour);
                }
                pixels.append(uchar(index.value(colour)));
            }
        }
        if (palette.size() <= 127)
            break;
    }
    QByteArray gif("GIF89a");
    auto word = [&gif](int value) {
        gif.append(char(value & 0xFF));
        gif.append(char(value >> 8 & 0xFF));
    };
    word(image.width());
    word(image.height());
    gif.append(char(0xF6)); // global table of 128 entries
    gif.append('\0');
    gif.append('\0');
    for (int i = 0; i < 128; ++i) {
        const QRgb colour = i < palette.size() ? palette.at(i) : 0;
        gif.append(char(qRed(colour)));
        gif.append(char(qGreen(colour)));
        gif.append(char(qBlue(colour)));
    }
    gif.append("\x21\xF9\x04\x01\x00\x00\x00\x00", 8); // index 0 is transparent
    gif.append(char(0x2C));
    word(0);
    word(0);
    word(image.width());
    word(image.height());
    gif.append('\0');
    gif.append(char(7)); // minimum code size: codes are 8 bits wide
    QByteArray codes;
    for (int i = 0; i < pixels.size(); ++i) {
        if (i % 100 == 0)
            codes.append(char(0x80)); // clear
        codes.append(char(pixels.at(i)));
    }
    codes.append(char(0x81)); // end of information
    for (int at = 0; at < codes.size(); at += 255) {
        const QByteArray part = codes.mid(at, 255);
        gif.append(char(part.size()));
        gif.append(part);
    }
    gif.append('\0');
    gif.append(char(0x3B));
    return gif;
}

bool saveGif(const QImage &image, const QString &name)
{
    QFile file(g_out + QLatin1Char('/') + name);
    const QByteArray bytes = encodeGif(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    // Read back: a picture Qt cannot decode would show as a broken image.
    return !QImage(file.fileName(), "GIF").isNull();
}

// One bubble drawn whole, then cut into the nine pieces of the page's table.
bool drawBubble(const QString &prefix, const QColor &fill, const QColor &border)
{
    const int left = 22, middle = 8, right = 9, top = 28, centre = 8, bottom = 9;
    QImage whole(left + middle + right, top + centre + bottom, QImage::Format_ARGB32);
    whole.fill(Qt::transparent);
    QPainter painter(&whole);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath body;
    body.addRoundedRect(QRectF(12.5, 0.5, whole.width() - 13, whole.height() - 1), 7, 7);
    QPainterPath tail;
    tail.moveTo(13, 9);
    tail.lineTo(3, 15);
    tail.lineTo(13, 21);
    painter.setPen(QPen(border, 1));
    painter.setBrush(fill);
    painter.drawPath(body.united(tail));
    painter.end();

    const int xs[] = {0, left, left + middle}, ws[] = {left, middle, right};
    const int ys[] = {0, top, top + centre}, hs[] = {top, centre, bottom};
    bool ok = true;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            QImage piece = whole.copy(xs[column], ys[row], ws[column], hs[row]);
            const QString name = prefix + QString::number(row) + QString::number(column);
            if (row == 0 && column == 1) {
                // The header's background: tall enough for any header, so it
                // never repeats its top edge down the cell.
                QImage tall(middle, 200, QImage::Format_ARGB32);
                tall.fill(fill);
                QPainter edge(&tall);
                edge.drawImage(0, 0, piece.copy(0, 0, middle, 8));
                edge.end();
                piece = tall;
            }
            if (row == 1 && column == 1) {
                QImage solid(piece.size(), QImage::Format_RGB32);
                solid.fill(fill);
                ok = save(solid, name + QStringLiteral(".jpg"), "JPG", 95) && ok;
            } else {
                ok = save(piece, name + QStringLiteral(".png")) && ok;
            }
        }
    }
    return ok;
}

QImage background()
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(QColor(0xF7, 0xF9, 0xFB));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xEC, 0xF0, 0xF4));
    painter.drawEllipse(QPointF(16, 16), 3, 3);
    painter.drawEllipse(QPointF(48, 48), 3, 3);
    return image;
}

enum class Mouth { Smile, Grin, Sad, Open, Flat, Wavy, Tongue, Big };
enum class Eyes { Dots, Wide, Wink, Glasses, Angry, Closed, Up, Tears };

QImage face(const QColor &skin, Eyes eyes, Mouth mouth, bool horns = false, bool blush = false)
{
    const int size = 16;
    QImage image(size * 4, size * 4, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(4, 4);
    const QColor ink(0x3A, 0x2A, 0x10);
    if (horns) {
        p.setPen(Qt::NoPen);
        p.setBrush(skin.darker(140));
        p.drawPolygon(QPolygonF({QPointF(2, 5), QPointF(1.5, 0.5), QPointF(5.5, 3)}));
        p.drawPolygon(QPolygonF({QPointF(14, 5), QPointF(14.5, 0.5), QPointF(10.5, 3)}));
    }
    p.setPen(QPen(skin.darker(170), 0.8));
    p.setBrush(skin);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    if (blush) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xF0, 0x60, 0x60));
        p.drawEllipse(QRectF(2.5, 8.5, 3, 2));
        p.drawEllipse(QRectF(10.5, 8.5, 3, 2));
    }
    p.setPen(QPen(ink, 1.1, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(ink);
    switch (eyes) {
    case Eyes::Dots:
        p.drawEllipse(QRectF(5, 5, 1.6, 2.4));
        p.drawEllipse(QRectF(9.4, 5, 1.6, 2.4));
        break;
    case Eyes::Wide:
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(4, 3.5, 3.5, 4));
        p.drawEllipse(QRectF(8.5, 3.5, 3.5, 4));
        p.setBrush(ink);
        p.drawEllipse(QRectF(5.2, 5, 1.2, 1.2));
        p.drawEllipse(QRectF(9.7, 5, 1.2, 1.2));
        break;
    case Eyes::Wink:
        p.drawEllipse(QRectF(5, 5, 1.6, 2.4));
        p.drawLine(QPointF(9, 6.5), QPointF(11.5, 6));
        break;
    case Eyes::Glasses:
        p.drawRect(QRectF(3.5, 5, 4, 2.5));
        p.drawRect(QRectF(8.5, 5, 4, 2.5));
        p.drawLine(QPointF(7.5, 5.5), QPointF(8.5, 5.5));
        break;
    case Eyes::Angry:
        p.drawLine(QPointF(4, 4), QPointF(7, 5.5));
        p.drawLine(QPointF(12, 4), QPointF(9, 5.5));
        p.drawEllipse(QRectF(5, 6, 1.5, 1.5));
        p.drawEllipse(QRectF(9.5, 6, 1.5, 1.5));
        break;
    case Eyes::Closed:
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4.5, 5, 3, 2.5), 0, 180 * 16);
        p.drawArc(QRectF(8.5, 5, 3, 2.5), 0, 180 * 16);
        break;
    case Eyes::Up:
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(4, 3.5, 3.5, 3.5));
        p.drawEllipse(QRectF(8.5, 3.5, 3.5, 3.5));
        p.setBrush(ink);
        p.drawEllipse(QRectF(5.2, 3.6, 1.3, 1.3));
        p.drawEllipse(QRectF(9.7, 3.6, 1.3, 1.3));
        break;
    case Eyes::Tears:
        p.drawLine(QPointF(4.5, 6), QPointF(7, 6));
        p.drawLine(QPointF(9, 6), QPointF(11.5, 6));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x40, 0x90, 0xF0));
        p.drawEllipse(QRectF(4.5, 7, 1.6, 3));
        p.drawEllipse(QRectF(10, 7, 1.6, 3));
        break;
    }
    p.setPen(QPen(ink, 1.1, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    switch (mouth) {
    case Mouth::Smile:
        p.drawArc(QRectF(4.5, 6, 7, 5.5), 200 * 16, 140 * 16);
        break;
    case Mouth::Grin:
        p.setBrush(Qt::white);
        p.drawChord(QRectF(4, 6.5, 8, 6), 180 * 16, 180 * 16);
        break;
    case Mouth::Big:
        p.setBrush(QColor(0x90, 0x20, 0x20));
        p.drawChord(QRectF(3.5, 5.5, 9, 7.5), 180 * 16, 180 * 16);
        break;
    case Mouth::Sad:
        p.drawArc(QRectF(4.5, 10, 7, 4), 20 * 16, 140 * 16);
        break;
    case Mouth::Open:
        p.setBrush(ink);
        p.drawEllipse(QRectF(6.5, 9.5, 3, 3));
        break;
    case Mouth::Flat:
        p.drawLine(QPointF(5, 11), QPointF(11, 11));
        break;
    case Mouth::Wavy:
        p.drawLine(QPointF(5, 11.5), QPointF(7, 10.5));
        p.drawLine(QPointF(7, 10.5), QPointF(9, 11.5));
        p.drawLine(QPointF(9, 11.5), QPointF(11, 10.5));
        break;
    case Mouth::Tongue:
        p.drawLine(QPointF(5, 10), QPointF(11, 10));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE0, 0x50, 0x60));
        p.drawChord(QRectF(7, 8, 3.5, 5), 180 * 16, 180 * 16);
        break;
    }
    p.end();
    return image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

bool drawEmoticons()
{
    const QColor yellow(0xFF, 0xD0, 0x30), red(0xE8, 0x50, 0x30), purple(0xA0, 0x60, 0xD0), green(0x70, 0xC8, 0x50);
    const struct
    {
        const char *name;
        QImage image;
    } faces[] = {
        {"icon_smile.gif", face(yellow, Eyes::Dots, Mouth::Smile)},
        {"icon_biggrin.gif", face(yellow, Eyes::Dots, Mouth::Grin)},
        {"icon_sad.gif", face(yellow, Eyes::Dots, Mouth::Sad)},
        {"icon_surprised.gif", face(yellow, Eyes::Dots, Mouth::Open)},
        {"icon_eek.gif", face(yellow, Eyes::Wide, Mouth::Open)},
        {"icon_confused.gif", face(yellow, Eyes::Dots, Mouth::Wavy)},
        {"icon_cool.gif", face(yellow, Eyes::Glasses, Mouth::Smile)},
        {"icon_mad.gif", face(red, Eyes::Angry, Mouth::Sad)},
        {"icon_razz.gif", face(yellow, Eyes::Dots, Mouth::Tongue)},
        {"icon_neutral.gif", face(yellow, Eyes::Dots, Mouth::Flat)},
        {"icon_wink.gif", face(yellow, Eyes::Wink, Mouth::Smile)},
        {"icon_lol.gif", face(yellow, Eyes::Closed, Mouth::Big)},
        {"icon_redface.gif", face(yellow, Eyes::Dots, Mouth::Wavy, false, true)},
        {"icon_cry.gif", face(yellow, Eyes::Tears, Mouth::Sad)},
        {"icon_evil.gif", face(red, Eyes::Angry, Mouth::Sad, true)},
        {"icon_twisted.gif", face(purple, Eyes::Angry, Mouth::Grin, true)},
        {"icon_rolleyes.gif", face(yellow, Eyes::Up, Mouth::Flat)},
        {"icon_mrgreen.gif", face(green, Eyes::Dots, Mouth::Big)},
    };
    bool ok = true;
    for (const auto &entry : faces)
        ok = saveGif(entry.image, QString::fromLatin1(entry.name)) && ok;
    return ok;
}

QImage icon(const std::function<void(QPainter &)> &draw)
{
    QImage image(64, 64, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(4, 4);
    draw(p);
    p.end();
    return image.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage letter(const QString &text, bool bold, bool italic)
{
    return icon([&](QPainter &p) {
        QFont font(QStringLiteral("DejaVu Serif"));
        font.setPixelSize(13);
        font.setBold(bold);
        font.setItalic(italic);
        p.setFont(font);
        p.setPen(QColor(0x30, 0x30, 0x30));
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, text);
    });
}

QImage alignment(Qt::Alignment side)
{
    return icon([side](QPainter &p) {
        p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.3));
        const int widths[] = {12, 8, 12, 6};
        for (int i = 0; i < 4; ++i) {
            const double w = widths[i];
            const double x = side == Qt::AlignLeft ? 2 : side == Qt::AlignRight ? 14 - w : 8 - w / 2;
            const double y = 3.5 + i * 3;
            p.drawLine(QPointF(x, y), QPointF(x + w, y));
        }
    });
}

QImage turnArrow(bool forward)
{
    return icon([forward](QPainter &p) {
        if (forward) {
            p.translate(16, 0);
            p.scale(-1, 1);
        }
        const QColor blue(0x2D, 0x6C, 0xC0);
        p.setPen(QPen(blue, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(4, 4, 10, 9), -60 * 16, 200 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(blue);
        p.drawPolygon(QPolygonF({QPointF(1, 6.5), QPointF(6.5, 4), QPointF(5.5, 10)}));
    });
}

QImage pencil()
{
    return icon([](QPainter &p) {
        p.translate(8, 8);
        p.rotate(45);
        p.setPen(QPen(QColor(0x60, 0x40, 0x10), 0.7));
        p.setBrush(QColor(0xF2, 0xB8, 0x30));
        p.drawRect(QRectF(-2, -7, 4, 10));
        p.setBrush(QColor(0xF0, 0xD8, 0xB0));
        p.drawPolygon(QPolygonF({QPointF(-2, 3), QPointF(2, 3), QPointF(0, 7)}));
        p.setBrush(QColor(0xE0, 0x80, 0x90));
        p.drawRect(QRectF(-2, -8, 4, 1.6));
    });
}

QImage paperclip()
{
    return icon([](QPainter &p) {
        p.translate(8, 8);
        p.rotate(35);
        p.setPen(QPen(QColor(0x50, 0x58, 0x66), 1.2, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        QPainterPath clip;
        clip.moveTo(1.5, -2);
        clip.lineTo(1.5, 4);
        clip.arcTo(QRectF(-1.5, 2.5, 3, 3), 0, -180);
        clip.lineTo(-1.5, -4.5);
        clip.arcTo(QRectF(-1.5, -6, 4.5, 4.5), 180, -180);
        clip.lineTo(3, 5);
        clip.arcTo(QRectF(-3, 2, 6, 6), 0, -180);
        clip.lineTo(-3, -2);
        p.drawPath(clip);
    });
}

QImage photo()
{
    return icon([](QPainter &p) {
        p.setPen(QPen(QColor(0x40, 0x40, 0x40), 0.8));
        p.setBrush(QColor(0x8C, 0xC8, 0xF0));
        p.drawRect(QRectF(1.5, 3, 13, 10));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x4C, 0x9A, 0x3C));
        p.drawPolygon(QPolygonF({QPointF(2, 12.5), QPointF(6.5, 7), QPointF(9.5, 10), QPointF(11, 8.5), QPointF(14, 12.5)}));
        p.setBrush(QColor(0xFF, 0xD8, 0x40));
        p.drawEllipse(QPointF(11.5, 5.8), 1.4, 1.4);
    });
}

// A sheet of paper with a folded corner, the files editor's pictures start
// from it.
void drawSheet(QPainter &p)
{
    p.setPen(QPen(QColor(0x60, 0x68, 0x74), 0.8));
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(2.5, 1.5), QPointF(8.5, 1.5), QPointF(11.5, 4.5), QPointF(11.5, 14.5),
                             QPointF(2.5, 14.5)}));
    p.setBrush(QColor(0xD8, 0xDC, 0xE2));
    p.drawPolygon(QPolygonF({QPointF(8.5, 1.5), QPointF(8.5, 4.5), QPointF(11.5, 4.5)}));
}

QImage addFiles()
{
    return icon([](QPainter &p) {
        drawSheet(p);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2E, 0x9A, 0x3E));
        p.drawEllipse(QPointF(11.5, 11.5), 4, 4);
        p.setPen(QPen(Qt::white, 1.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11.5, 9.3), QPointF(11.5, 13.7));
        p.drawLine(QPointF(9.3, 11.5), QPointF(13.7, 11.5));
    });
}

QImage removeCross()
{
    return icon([](QPainter &p) {
        p.setPen(QPen(QColor(0xC8, 0x30, 0x28), 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
    });
}

QImage upArrow()
{
    return icon([](QPainter &p) {
        p.setPen(QPen(QColor(0x1F, 0x55, 0x9E), 0.8));
        p.setBrush(QColor(0x3C, 0x82, 0xD8));
        p.drawPolygon(QPolygonF({QPointF(8, 1.5), QPointF(14.5, 8), QPointF(10.5, 8), QPointF(10.5, 14.5),
                                 QPointF(5.5, 14.5), QPointF(5.5, 8), QPointF(1.5, 8)}));
    });
}

QImage floppy()
{
    return icon([](QPainter &p) {
        p.setPen(QPen(QColor(0x20, 0x30, 0x48), 0.8));
        p.setBrush(QColor(0x3A, 0x5F, 0x96));
        p.drawPolygon(QPolygonF({QPointF(1.5, 1.5), QPointF(12.5, 1.5), QPointF(14.5, 3.5), QPointF(14.5, 14.5),
                                 QPointF(1.5, 14.5)}));
        p.setBrush(QColor(0xE4, 0xE8, 0xEE));
        p.drawRect(QRectF(4, 1.5, 7.5, 5));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(3.5, 9, 9, 5.5));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x3A, 0x5F, 0x96));
        p.drawRect(QRectF(8.5, 2.5, 2, 3));
    });
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s RESOURCES_FOLDER\n", argv[0]);
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    bool ok = drawBubble(QStringLiteral("gray_conv_"), QColor(0xF4, 0xF4, 0xF4), QColor(0xBE, 0xBE, 0xBE));
    ok = drawBubble(QStringLiteral("green_conv_"), QColor(0xE2, 0xF3, 0xD5), QColor(0x8F, 0xC4, 0x74)) && ok;
    ok = save(background(), QStringLiteral("wmailbackground.jpg"), "JPG", 92) && ok;
    ok = drawEmoticons() && ok;
    ok = save(letter(QStringLiteral("B"), true, false), QStringLiteral("bold.png")) && ok;
    ok = save(letter(QStringLiteral("I"), false, true), QStringLiteral("italic.png")) && ok;
    ok = save(alignment(Qt::AlignLeft), QStringLiteral("alignleft.png")) && ok;
    ok = save(alignment(Qt::AlignHCenter), QStringLiteral("aligncenter.png")) && ok;
    ok = save(alignment(Qt::AlignRight), QStringLiteral("alignright.png")) && ok;
    ok = save(turnArrow(false), QStringLiteral("undo.png")) && ok;
    ok = save(turnArrow(true), QStringLiteral("redo.png")) && ok;
    ok = save(pencil(), QStringLiteral("edit.png")) && ok;
    ok = save(paperclip(), QStringLiteral("attachment.png")) && ok;
    ok = save(photo(), QStringLiteral("photo.png")) && ok;
    ok = save(addFiles(), QStringLiteral("addfiles.png")) && ok;
    ok = save(removeCross(), QStringLiteral("delete.png")) && ok;
    ok = save(upArrow(), QStringLiteral("up.png")) && ok;
    ok = save(floppy(), QStringLiteral("Save.png")) && ok;
    return ok ? 0 : 1;
}
