// Draws the file-sharing plug-in's pictures (tool-bar and transfer icons, the
// plug-in's icon, the item-kind and file-type icons of the browser) into the
// plug-in's Resources folder. Run by hand when a picture changes:
// `wftp_artwork plugins/wftp/Resources`; the pictures are kept in the
// repository so the build needs no drawing step.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

QString g_out;

// The client's own colours (resources/ui), so both sets look like one.
const QColor Navy(0, 79, 146);
const QColor Sky(64, 160, 230);
const QColor Ink(0x30, 0x30, 0x30);
const QColor Green(0x3C, 0xA0, 0x3C);
const QColor Red(0xD8, 0x40, 0x34);
const QColor FolderFill(0xF4, 0xC8, 0x52);
const QColor FolderEdge(0xB8, 0x8A, 0x20);

bool save(const QImage &image, const QString &name)
{
    const QString path = g_out + QLatin1Char('/') + name;
    if (!image.save(path, "PNG")) {
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Drawn on a 16-unit grid four times larger than the result, then scaled
// down smoothly: thin lines stay crisp at small sizes.
QImage draw(int size, const std::function<void(QPainter &)> &paint)
{
    QImage image(size * 4, size * 4, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size * 4 / 16.0, size * 4 / 16.0);
    paint(p);
    p.end();
    return image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// Tool-bar and button icons: 32 pixels, shown at 16 (and sharp at twice that).
QImage toolIcon(const std::function<void(QPainter &)> &paint)
{
    return draw(32, paint);
}

void folder(QPainter &p, const QRectF &box)
{
    const qreal tab = box.width() * 0.4;
    QPainterPath back;
    back.moveTo(box.left(), box.top() + 1.2);
    back.lineTo(box.left() + 0.6, box.top());
    back.lineTo(box.left() + tab, box.top());
    back.lineTo(box.left() + tab + 1, box.top() + 1.2);
    back.lineTo(box.right(), box.top() + 1.2);
    back.lineTo(box.right(), box.bottom());
    back.lineTo(box.left(), box.bottom());
    back.closeSubpath();
    p.setPen(QPen(FolderEdge, 0.6));
    p.setBrush(FolderFill.darker(110));
    p.drawPath(back);
    QLinearGradient front(box.topLeft(), box.bottomLeft());
    front.setColorAt(0, FolderFill.lighter(115));
    front.setColorAt(1, FolderFill);
    p.setBrush(front);
    p.drawRoundedRect(QRectF(box.left(), box.top() + 2.6, box.width(), box.height() - 2.6), 0.6, 0.6);
}

void arrow(QPainter &p, const QColor &colour, bool down)
{
    p.save();
    if (down) {
        p.translate(0, 16);
        p.scale(1, -1);
    }
    p.setPen(QPen(colour.darker(140), 0.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({QPointF(8, 1.5), QPointF(13.5, 7), QPointF(10.2, 7), QPointF(10.2, 11.5),
                             QPointF(5.8, 11.5), QPointF(5.8, 7), QPointF(2.5, 7)}));
    p.restore();
}

void tray(QPainter &p)
{
    p.setPen(QPen(Ink, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(2, 11.5), QPointF(2, 14.5), QPointF(14, 14.5), QPointF(14, 11.5)}));
}

void badge(QPainter &p, const QPointF &centre, const QColor &colour)
{
    p.setPen(QPen(Qt::white, 0.7));
    p.setBrush(colour);
    p.drawEllipse(centre, 3.4, 3.4);
}

void plus(QPainter &p, const QPointF &centre)
{
    p.setPen(QPen(Qt::white, 1.2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(centre + QPointF(-1.8, 0), centre + QPointF(1.8, 0));
    p.drawLine(centre + QPointF(0, -1.8), centre + QPointF(0, 1.8));
}

void page(QPainter &p, const QRectF &box, const QColor &fill = Qt::white)
{
    const qreal fold = box.width() * 0.3;
    QPainterPath sheet;
    sheet.moveTo(box.topLeft());
    sheet.lineTo(box.right() - fold, box.top());
    sheet.lineTo(box.right(), box.top() + fold);
    sheet.lineTo(box.bottomRight());
    sheet.lineTo(box.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(QColor(0x70, 0x78, 0x84), box.width() / 20));
    p.setBrush(fill);
    p.drawPath(sheet);
    p.setBrush(QColor(0xDD, 0xE2, 0xE8));
    p.drawPolygon(QPolygonF({QPointF(box.right() - fold, box.top()), QPointF(box.right() - fold, box.top() + fold),
                             QPointF(box.right(), box.top() + fold)}));
}

void people(QPainter &p, const QPointF &at, qreal scale)
{
    p.save();
    p.translate(at);
    p.scale(scale, scale);
    const QColor colours[] = {Navy, Sky};
    for (int i = 0; i < 2; ++i) {
        const qreal x = i == 0 ? -1.6 : 1.6;
        p.setPen(QPen(Qt::white, 0.5));
        p.setBrush(colours[i]);
        p.drawEllipse(QPointF(x, -1.8), 1.5, 1.5);
        p.drawChord(QRectF(x - 2.6, 0.2, 5.2, 5.2), 0, 180 * 16);
    }
    p.restore();
}

void gear(QPainter &p, const QPointF &centre, qreal radius, const QColor &colour)
{
    QPainterPath teeth;
    for (int i = 0; i < 8; ++i) {
        QTransform turn;
        turn.translate(centre.x(), centre.y());
        turn.rotate(i * 45);
        teeth.addPolygon(turn.map(QPolygonF(QRectF(-radius * 0.28, -radius * 1.25, radius * 0.56, radius * 0.6))));
    }
    QPainterPath body;
    body.addEllipse(centre, radius, radius);
    QPainterPath hole;
    hole.addEllipse(centre, radius * 0.4, radius * 0.4);
    p.setPen(QPen(Qt::white, 0.5));
    p.setBrush(colour);
    p.drawPath(teeth.united(body).subtracted(hole));
}

QImage downloadIcon()
{
    return toolIcon([](QPainter &p) {
        tray(p);
        p.translate(0, 0.5);
        arrow(p, Green, true);
    });
}

QImage uploadIcon()
{
    return toolIcon([](QPainter &p) {
        tray(p);
        p.translate(0, -1);
        arrow(p, Sky, false);
    });
}

QImage playIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Green.darker(140), 0.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Green);
        p.drawPolygon(QPolygonF({QPointF(4, 2.5), QPointF(13.5, 8), QPointF(4, 13.5)}));
    });
}

QImage pauseIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Navy, 0.6));
        p.setBrush(Sky);
        p.drawRoundedRect(QRectF(3.5, 2.5, 3.4, 11), 0.8, 0.8);
        p.drawRoundedRect(QRectF(9.1, 2.5, 3.4, 11), 0.8, 0.8);
    });
}

QImage stopIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Red.darker(140), 0.6));
        p.setBrush(Red);
        p.drawRoundedRect(QRectF(3, 3, 10, 10), 1.5, 1.5);
    });
}

QImage newFolderIcon()
{
    return toolIcon([](QPainter &p) {
        folder(p, QRectF(1, 2.5, 12.5, 10.5));
        badge(p, QPointF(12, 11.8), Green);
        plus(p, QPointF(12, 11.8));
    });
}

QImage clearCompletedIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(QColor(0x70, 0x78, 0x84), 1.2, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(2, 3 + i * 3.5), QPointF(10, 3 + i * 3.5));
        p.setPen(QPen(Green, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(7.5, 11.5), QPointF(10, 14), QPointF(14.5, 8.5)}));
    });
}

QImage deleteIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Red, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
    });
}

QImage upIcon()
{
    return toolIcon([](QPainter &p) {
        folder(p, QRectF(1, 5, 13, 9.5));
        p.setPen(QPen(Navy, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(12, 12), QPointF(8, 12), QPointF(8, 4)}));
        p.drawPolyline(QPolygonF({QPointF(5.5, 6.5), QPointF(8, 3.5), QPointF(10.5, 6.5)}));
    });
}

QImage refreshIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Green, 1.7, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        const QRectF ring(3, 3, 10, 10);
        p.drawArc(ring, 20 * 16, 140 * 16);
        p.drawArc(ring, 200 * 16, 140 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(Green);
        p.drawPolygon(QPolygonF({QPointF(1.2, 6.6), QPointF(5.8, 6.6), QPointF(3.5, 9.8)}));
        p.drawPolygon(QPolygonF({QPointF(14.8, 9.4), QPointF(10.2, 9.4), QPointF(12.5, 6.2)}));
    });
}

QImage renameIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(QColor(0x70, 0x78, 0x84), 0.7));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(1, 4.5, 14, 7), 1, 1);
        p.setPen(Qt::NoPen);
        p.setBrush(Sky.lighter(140));
        p.drawRect(QRectF(2.5, 6, 6.5, 4));
        p.setPen(QPen(Ink, 0.9, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11, 3), QPointF(11, 13));
        p.drawLine(QPointF(9.8, 3), QPointF(12.2, 3));
        p.drawLine(QPointF(9.8, 13), QPointF(12.2, 13));
    });
}

QImage sharedFolderIcon()
{
    return toolIcon([](QPainter &p) {
        folder(p, QRectF(0.8, 2, 12.5, 10.5));
        people(p, QPointF(11.6, 11.2), 0.95);
    });
}

QImage shareFolderIcon()
{
    return toolIcon([](QPainter &p) {
        folder(p, QRectF(0.8, 2, 12.5, 10.5));
        gear(p, QPointF(11.8, 11.6), 2.8, Navy);
    });
}

QImage iconViewIcon()
{
    return toolIcon([](QPainter &p) {
        p.setPen(QPen(Navy, 0.6));
        p.setBrush(Sky);
        for (int row = 0; row < 2; ++row)
            for (int column = 0; column < 2; ++column)
                p.drawRoundedRect(QRectF(2 + column * 6.5, 2 + row * 6.5, 5.5, 5.5), 1, 1);
    });
}

QImage listViewIcon()
{
    return toolIcon([](QPainter &p) {
        for (int i = 0; i < 4; ++i) {
            const qreal y = 3 + i * 3.4;
            p.setPen(QPen(Navy, 0.5));
            p.setBrush(Sky);
            p.drawRect(QRectF(1.5, y - 1, 2.4, 2.4));
            p.setPen(QPen(Ink, 1.2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(6, y + 0.2), QPointF(14.5, y + 0.2));
        }
    });
}

QImage addFilesIcon()
{
    return toolIcon([](QPainter &p) {
        page(p, QRectF(2, 1, 9.5, 12.5));
        badge(p, QPointF(11.8, 11.8), Green);
        plus(p, QPointF(11.8, 11.8));
    });
}

QImage copyIcon()
{
    return toolIcon([](QPainter &p) {
        page(p, QRectF(1.5, 1, 8.5, 10.5), QColor(0xF0, 0xF3, 0xF6));
        page(p, QRectF(6, 4.5, 8.5, 10.5));
        p.setPen(QPen(Sky, 0.8, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(7.6, 9 + i * 1.8), QPointF(12.6, 9 + i * 1.8));
    });
}

// The plug-in's own icon: a shared folder with arrows both ways.
QImage pluginIcon()
{
    return draw(32, [](QPainter &p) {
        folder(p, QRectF(0.8, 1.5, 14.4, 12.5));
        p.setPen(QPen(Qt::white, 0.5));
        p.setBrush(Green);
        p.drawEllipse(QPointF(5.6, 10), 3.3, 3.3);
        p.setBrush(Sky);
        p.drawEllipse(QPointF(11, 10), 3.3, 3.3);
        p.setPen(QPen(Qt::white, 1.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(5.6, 8), QPointF(5.6, 12));
        p.drawPolyline(QPolygonF({QPointF(4.2, 10.6), QPointF(5.6, 12), QPointF(7, 10.6)}));
        p.drawLine(QPointF(11, 12), QPointF(11, 8));
        p.drawPolyline(QPolygonF({QPointF(9.6, 9.4), QPointF(11, 8), QPointF(12.4, 9.4)}));
    });
}

// Item-kind and file-type icons: 64 pixels, for the icon view's 70 x 70 cells
// and the list view's 16 x 16 column.
const int KindSize = 64;

QImage fileIcon()
{
    return draw(KindSize, [](QPainter &p) {
        page(p, QRectF(3, 1, 10, 14));
    });
}

QImage directoryIcon()
{
    return draw(KindSize, [](QPainter &p) {
        folder(p, QRectF(1, 2.5, 14, 11.5));
    });
}

QImage sharedIcon()
{
    return draw(KindSize, [](QPainter &p) {
        folder(p, QRectF(1, 2.5, 14, 11.5));
        people(p, QPointF(11.4, 11.4), 1.0);
    });
}

QImage discIcon()
{
    return draw(KindSize, [](QPainter &p) {
        QLinearGradient body(0, 5, 0, 12);
        body.setColorAt(0, QColor(0xE4, 0xE8, 0xEE));
        body.setColorAt(1, QColor(0xA8, 0xB2, 0xC0));
        p.setPen(QPen(QColor(0x60, 0x6A, 0x78), 0.5));
        p.setBrush(body);
        p.drawRoundedRect(QRectF(1, 5, 14, 7), 1.4, 1.4);
        p.setPen(QPen(QColor(0x78, 0x84, 0x94), 0.35));
        for (int i = 0; i < 5; ++i)
            p.drawLine(QPointF(3 + i * 0.9, 10.8), QPointF(3 + i * 0.9, 9.2));
        p.setPen(QPen(Green.darker(120), 0.3));
        p.setBrush(QColor(0x60, 0xE0, 0x60));
        p.drawEllipse(QPointF(12.8, 10), 0.6, 0.6);
        people(p, QPointF(10.4, 4.6), 0.75);
    });
}

enum class Kind { Audio, Video, Image, Archive, Document, Code };

void kindGlyph(QPainter &p, Kind kind, const QColor &colour)
{
    p.save();
    switch (kind) {
    case Kind::Audio:
        p.setPen(QPen(colour, 0.6));
        p.setBrush(colour);
        p.drawEllipse(QPointF(6.4, 7.2), 1.1, 0.85);
        p.drawEllipse(QPointF(9.6, 6.4), 1.1, 0.85);
        p.setPen(QPen(colour, 0.55, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(7.4, 7.1), QPointF(7.4, 3.3), QPointF(10.6, 2.5), QPointF(10.6, 6.3)}));
        break;
    case Kind::Video:
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRect(QRectF(5, 2.8, 6.4, 5));
        p.setBrush(Qt::white);
        for (int i = 0; i < 4; ++i) {
            p.drawRect(QRectF(5.5 + i * 1.55, 3.1, 0.7, 0.6));
            p.drawRect(QRectF(5.5 + i * 1.55, 6.9, 0.7, 0.6));
        }
        break;
    case Kind::Image:
        p.setPen(Qt::NoPen);
        p.setBrush(colour.lighter(150));
        p.drawRect(QRectF(5, 2.8, 6.4, 5));
        p.setBrush(colour);
        p.drawPolygon(QPolygonF(
            {QPointF(5, 7.8), QPointF(7.2, 4.8), QPointF(8.7, 6.5), QPointF(9.6, 5.6), QPointF(11.4, 7.8)}));
        p.setBrush(QColor(0xFF, 0xD0, 0x40));
        p.drawEllipse(QPointF(10, 4), 0.6, 0.6);
        break;
    case Kind::Archive:
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        for (int i = 0; i < 5; ++i) {
            p.drawRect(QRectF(7.3, 1.6 + i * 1.2, 0.9, 0.6));
            p.drawRect(QRectF(8.2, 2.2 + i * 1.2, 0.9, 0.6));
        }
        p.drawRoundedRect(QRectF(7.1, 7.6, 2.2, 1.6), 0.3, 0.3);
        break;
    case Kind::Document:
        p.setPen(QPen(colour, 0.55, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 4; ++i)
            p.drawLine(QPointF(5, 3.4 + i * 1.4), QPointF(i == 3 ? 8.5 : 10.5, 3.4 + i * 1.4));
        break;
    case Kind::Code:
        p.setPen(QPen(colour, 0.65, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(6.4, 3.4), QPointF(4.8, 5.2), QPointF(6.4, 7)}));
        p.drawPolyline(QPolygonF({QPointF(9.6, 3.4), QPointF(11.2, 5.2), QPointF(9.6, 7)}));
        p.drawLine(QPointF(8.6, 3), QPointF(7.4, 7.4));
        break;
    }
    p.restore();
}

// A page with its type's glyph and a coloured band that carries the name.
QImage typeIcon(const QString &name, Kind kind)
{
    static const QColor colours[] = {
        QColor(0x8E, 0x4C, 0xC0), // audio
        QColor(0xD0, 0x48, 0x3C), // video
        QColor(0x3C, 0x9A, 0x48), // image
        QColor(0xA0, 0x6C, 0x2C), // archive
        QColor(0x2D, 0x6C, 0xC0), // document
        QColor(0x1E, 0x8C, 0x90), // code
    };
    const QColor colour = colours[int(kind)];
    return draw(KindSize, [&](QPainter &p) {
        page(p, QRectF(3, 1, 10, 14));
        kindGlyph(p, kind, colour);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(1.2, 9, 13.6, 4.6), 0.6, 0.6);
        // Font sizes are whole pixels: lay the name out ten times larger.
        p.scale(0.1, 0.1);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setBold(true);
        font.setPixelSize(name.size() > 4 ? 30 : name.size() > 3 ? 34 : 38);
        font.setStretch(name.size() > 4 ? QFont::SemiCondensed : QFont::Unstretched);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(12, 90, 136, 46), Qt::AlignCenter, name);
    });
}

bool drawTypeIcons()
{
    const struct
    {
        Kind kind;
        QStringList names;
    } groups[] = {
        {Kind::Audio, {"FLAC", "MP3", "MPC", "OGG", "AAC", "APE", "WAV", "WMA", "VQF", "AIFF"}},
        {Kind::Video,
         {"MP4", "MOV", "MPEG", "RM", "ASF", "AVI", "3GP", "SWF", "VCD", "SVCD", "XVID", "VOB", "WMV", "DIVX", "MPEG4"}},
        {Kind::Image, {"PNG", "PSD", "BMP", "TGA", "GIF", "TIFF", "JPG"}},
        {Kind::Archive, {"ACE", "RAR", "ARJ", "CAB", "TAR", "7ZIP", "ZIP", "GZIP"}},
        {Kind::Document, {"PDF", "RTF", "DOC", "TXT", "WPD", "DAT"}},
        {Kind::Code, {"PHP", "JS", "PL", "ASP", "CGI", "CSS", "HTML", "XHTML", "XML"}},
    };
    bool ok = true;
    for (const auto &group : groups)
        for (const QString &name : group.names)
            ok = save(typeIcon(name, group.kind), QStringLiteral("ext/") + name + QStringLiteral(".png")) && ok;
    return ok;
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
    QDir().mkpath(g_out + QStringLiteral("/ext"));
    const struct
    {
        const char *name;
        QImage image;
    } pictures[] = {
        {"wftp.png", pluginIcon()},
        {"Download.png", downloadIcon()},
        {"upload.png", uploadIcon()},
        {"play.png", playIcon()},
        {"pause.png", pauseIcon()},
        {"stop.png", stopIcon()},
        {"newfolder.png", newFolderIcon()},
        {"clearcompleted.png", clearCompletedIcon()},
        {"delete.png", deleteIcon()},
        {"up.png", upIcon()},
        {"refresh.png", refreshIcon()},
        {"rename.png", renameIcon()},
        {"sharedfolder.png", sharedFolderIcon()},
        {"sharefolder.png", shareFolderIcon()},
        {"iconview.png", iconViewIcon()},
        {"listview.png", listViewIcon()},
        {"addfiles.png", addFilesIcon()},
        {"copy.png", copyIcon()},
        {"ext/file.png", fileIcon()},
        {"ext/directory.png", directoryIcon()},
        {"ext/disc.png", discIcon()},
        {"ext/shared.png", sharedIcon()},
    };
    bool ok = true;
    for (const auto &picture : pictures)
        ok = save(picture.image, QString::fromLatin1(picture.name)) && ok;
    ok = drawTypeIcons() && ok;
    return ok ? 0 : 1;
}
