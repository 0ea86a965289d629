#include "QWivoraStyle.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

namespace {

const qreal Radius = 5;
const QString ContactListName = QStringLiteral("listakontaktow");
const QString CheckImage = QStringLiteral(":/wivorastyle/Resources/checkbox.png");

QPainterPath roundedPath(const QRectF &rect)
{
    QPainterPath path;
    path.addRoundedRect(rect, Radius, Radius, Qt::AbsoluteSize);
    return path;
}

} // namespace

QWivoraStyle::QWivoraStyle()
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
{
}

QWivoraStyle::~QWivoraStyle() = default;

void QWivoraStyle::polish(QPalette &palette)
{
    Q_UNUSED(palette)
}

void QWivoraStyle::polish(QWidget *widget)
{
    if (qobject_cast<QProgressBar *>(widget))
        return;
    widget->setAutoFillBackground(false);
    widget->setAttribute(Qt::WA_OpaquePaintEvent, false);
}

bool QWivoraStyle::isContactList(const QWidget *widget)
{
    return widget && widget->objectName() == ContactListName;
}

void QWivoraStyle::fillGlass(QPainter *painter, const QPainterPath &path, int alpha)
{
    const QRectF bounds = path.boundingRect();
    QLinearGradient glass(bounds.x(), bounds.top(), bounds.x(), bounds.bottom());
    glass.setColorAt(0, QColor(255, 255, 255, alpha));
    glass.setColorAt(0.4999, QColor(255, 255, 255, alpha - 68));
    glass.setColorAt(0.5, QColor(255, 255, 255, alpha - 118));
    glass.setColorAt(1, QColor(255, 255, 255, alpha - 98));
    painter->fillPath(path, glass);
}

void QWivoraStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                 const QWidget *widget) const
{
    switch (element) {
    case PE_Frame:
        // Frames of frames, focus rectangles and menu items (types sharing a
        // bit with 5) are left bare.
        if ((option->type & 5) != 0)
            return;
        painter->save();
        painter->drawRoundedRect(option->rect, Radius, Radius, Qt::AbsoluteSize);
        painter->restore();
        return;
    case PE_FrameTabWidget:
        return;
    case PE_PanelButtonBevel:
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        fillGlass(painter, roundedPath(option->rect), 128);
        painter->restore();
        return;
    case PE_PanelToolBar:
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->fillRect(option->rect, QColor(0, 0, 50, 100));
        painter->restore();
        return;
    case PE_IndicatorCheckBox: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRect &r = option->rect;
        const QRect box(r.left(), r.top() + 4, r.width() - 4, r.height() - 4);
        QPainterPath plain;
        plain.addRect(box);
        fillGlass(painter, plain, 190);
        painter->setPen(QColor(0, 58, 165, 255));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(box);
        if (option->state & State_On) {
            const QImage tick = QImage(CheckImage).scaled(r.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
            if (!tick.isNull())
                painter->drawImage(r.topLeft(), tick);
        }
        painter->restore();
        return;
    }
    case PE_PanelItemViewItem:
        if (!isContactList(widget))
            break;
        if (option->state & State_MouseOver)
            painter->fillRect(option->rect, QColor(0, 0, 60, 100));
        if (option->state & State_Selected)
            painter->fillRect(option->rect, QColor(0, 0, 60, 160));
        return;
    case PE_PanelStatusBar:
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        fillGlass(painter, roundedPath(option->rect), 190);
        painter->restore();
        return;
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void QWivoraStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                               const QWidget *widget) const
{
    const QRect &r = option->rect;
    switch (element) {
    case CE_HeaderSection:
        if (!isContactList(widget))
            break;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        fillGlass(painter, roundedPath(r), 200);
        painter->setPen(QColor(255, 255, 255, 255));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRect(r.x(), r.y(), r.width() - 1, r.height() - 1), Radius, Radius,
                                 Qt::AbsoluteSize);
        painter->restore();
        return;
    case CE_ToolBar: {
        painter->save();
        QLinearGradient fill(r.x(), r.y(), r.x(), r.height() - 1);
        fill.setColorAt(0, QColor(249, 249, 249, 255));
        fill.setColorAt(0.499, QColor(249, 249, 249, 255));
        fill.setColorAt(0.5, QColor(242, 242, 242, 255));
        fill.setColorAt(1, QColor(232, 232, 232, 255));
        const QRect inner(r.x() + 1, r.y() + 1, r.width() - 3, r.height() - 3);
        painter->fillPath(roundedPath(inner), fill);
        painter->setPen(QColor(170, 170, 170, 255));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(inner, Radius, Radius, Qt::AbsoluteSize);
        painter->restore();
        return;
    }
    default:
        break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}
