#include "QPictureDetails.h"

#include "CarouselItem.h"

#include <QFileDialog>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QGridLayout>
#include <QIcon>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSpacerItem>
#include <QTextDocument>
#include <QTextOption>
#include <QTimeLine>
#include <QToolButton>

QPictureDetails::QPictureDetails(QWidget *parent)
    : QDialog(parent, Qt::Window), m_scene(new QGraphicsScene(this)), m_view(new QGraphicsView(m_scene, this)),
      m_timeLine(new QTimeLine(1000, this))
{
    setObjectName(QStringLiteral("QPictureDetailsClass"));
    setWindowTitle(tr("Picture Details"));
    setWindowModality(Qt::WindowModal);
    setSizeGripEnabled(true);
    resize(787, 599);
    m_view->setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    m_view->setCacheMode(QGraphicsView::CacheBackground);
    m_view->setResizeAnchor(QGraphicsView::AnchorViewCenter);
    m_view->setTransformationAnchor(QGraphicsView::AnchorViewCenter);
    m_view->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    m_view->setStyleSheet(QStringLiteral("background: black; border-style: none"));
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->viewport()->installEventFilter(this);
    m_timeLine->setFrameRange(0, 100);
    connect(m_timeLine, &QTimeLine::frameChanged, this, &QPictureDetails::rotateView);

    auto *frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setFixedHeight(35);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);
    auto *save = new QToolButton(frame);
    save->setObjectName(QStringLiteral("toolButton"));
    save->setText(tr("Save"));
    save->setIcon(QIcon(QStringLiteral(":/photoalbum/Resources/Save.png")));
    auto *buttonRow = new QGridLayout(frame);
    buttonRow->setSpacing(0);
    buttonRow->setContentsMargins(0, 0, 0, 0);
    buttonRow->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0);
    buttonRow->addWidget(save, 0, 1);
    buttonRow->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 2);
    auto *grid = new QGridLayout(this);
    grid->setSpacing(6);
    grid->setContentsMargins(11, 11, 11, 11);
    grid->addWidget(m_view, 0, 0);
    grid->addWidget(frame, 1, 0);
    QMetaObject::connectSlotsByName(this);
}

void QPictureDetails::addPicture(const QImage &picture, const QString &caption)
{
    auto *tile = new QGraphicsPixmapItem(CarouselItem::standing(picture, Side, Height));
    auto *text = new QGraphicsTextItem(tile);
    text->setFont(QFont(QStringLiteral("Arial"), 16, QFont::Bold));
    text->setDefaultTextColor(Qt::white);
    QTextOption option(Qt::AlignCenter);
    option.setWrapMode(QTextOption::NoWrap);
    text->document()->setDefaultTextOption(option);
    text->setTransform(QTransform::fromTranslate(-Side, Height - 50));
    text->setPlainText(QFontMetrics(text->font()).elidedText(caption, Qt::ElideRight, 3 * Side));
    text->setTextWidth(3 * Side);
    text->setZValue(1);
    m_scene->addItem(tile);
    m_pictures << picture;
    m_tiles << tile;
    m_captions << text;
    m_positions << 0;
}

void QPictureDetails::setCurrentIndex(int index)
{
    m_current = qBound(0, index, qMax(0, m_tiles.size() - 1));
}

double QPictureDetails::scale() const
{
    return qMin(m_view->width() / double(Side), (m_view->height() - 80) / double(Height));
}

void QPictureDetails::updateTiles()
{
    const double s = scale();
    for (int i = 0; i < m_tiles.size(); ++i) {
        m_tiles.at(i)->setTransform(QTransform::fromScale(s, s).translate(m_positions.at(i), 20));
        m_captions.at(i)->setVisible(i == m_current);
    }
    m_view->viewport()->update();
}

void QPictureDetails::arrangeItems()
{
    setCurrentIndex(m_current);
    for (int i = 0; i < m_positions.size(); ++i)
        m_positions[i] = (i - m_current) * Spacing - Spacing / 2;
    updateTiles();
}

void QPictureDetails::pressTile(int index)
{
    if (index < 0 || index >= m_tiles.size())
        return;
    // The front picture pressed: on to the next one, round to the first.
    if (index == m_current)
        index = (index + 1) % m_tiles.size();
    m_current = index;
    m_offset = -Side / 2 - m_positions.at(index);
    m_lastFrame = 0;
    if (m_timeLine->state() != QTimeLine::Running)
        m_timeLine->start();
}

void QPictureDetails::rotateView(int frame)
{
    const double step = m_offset / 100;
    for (double &position : m_positions)
        position += step * frame - step * m_lastFrame;
    m_lastFrame = frame;
    updateTiles();
}

bool QPictureDetails::saveCurrent(const QString &path) const
{
    return m_current < m_pictures.size() && m_pictures.at(m_current).save(path, "JPG", 100);
}

void QPictureDetails::on_toolButton_clicked()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save File"), QString(),
                                                      tr("Images (*.jpg)"));
    if (!path.isEmpty() && !saveCurrent(path))
        QMessageBox::warning(this, tr("Save File"), tr("The picture could not be saved to %1.").arg(path));
}

void QPictureDetails::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event); // moves the size grip
    arrangeItems();
    m_view->setSceneRect(-width(), 0, 2 * width(), height());
    m_view->centerOn(0, 0);
}

bool QPictureDetails::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_view->viewport() && event->type() == QEvent::MouseButtonPress) {
        QGraphicsItem *item = m_view->itemAt(static_cast<QMouseEvent *>(event)->pos());
        while (item && item->parentItem())
            item = item->parentItem();
        pressTile(m_tiles.indexOf(static_cast<QGraphicsPixmapItem *>(item)));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
