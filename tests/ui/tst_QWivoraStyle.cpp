#include "QtTestSuite.h"
#include "QWivoraStyle.h"

#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

const QColor Background(40, 120, 40);
const QSize Canvas(40, 40);

enum class Kind { Primitive, Control };

// What one element paints on the plain background, with our style or Fusion.
QImage paint(QStyle *style, Kind kind, int element, const QStyleOption &option, const QWidget *widget)
{
    QImage image(Canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Background);
    QPainter painter(&image);
    painter.setPen(Qt::black);
    if (kind == Kind::Primitive)
        style->drawPrimitive(QStyle::PrimitiveElement(element), &option, &painter, widget);
    else
        style->drawControl(QStyle::ControlElement(element), &option, &painter, widget);
    return image;
}

// The background with colour laid over it, as the painter blends.
QColor over(const QList<QColor> &layers)
{
    QImage image(1, 1, QImage::Format_ARGB32_Premultiplied);
    image.fill(Background);
    QPainter painter(&image);
    for (const QColor &layer : layers)
        painter.fillRect(image.rect(), layer);
    return image.pixelColor(0, 0);
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 && qAbs(a.blue() - b.blue()) <= 2;
}

} // namespace

class tst_QWivoraStyle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_contactList.setObjectName(QStringLiteral("listakontaktow"));
        m_otherList.setObjectName(QStringLiteral("other"));
    }

    // Elements with a colour of their own: the pixel at the probe point.
    void paintsColour_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("element");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("contactList");
        QTest::addColumn<QPoint>("probe");
        QTest::addColumn<QColor>("expected");

        const int primitive = int(Kind::Primitive);
        const int control = int(Kind::Control);
        QTest::newRow("tool-bar panel") << primitive << int(QStyle::PE_PanelToolBar) << 0 << false << QPoint(20, 20)
                                        << over({QColor(0, 0, 50, 100)});
        QTest::newRow("hovered and selected contact row")
            << primitive << int(QStyle::PE_PanelItemViewItem) << int(QStyle::State_MouseOver | QStyle::State_Selected)
            << true << QPoint(20, 20) << over({QColor(0, 0, 60, 100), QColor(0, 0, 60, 160)});
        QTest::newRow("hovered contact row") << primitive << int(QStyle::PE_PanelItemViewItem)
                                             << int(QStyle::State_MouseOver) << true << QPoint(20, 20)
                                             << over({QColor(0, 0, 60, 100)});
        QTest::newRow("plain contact row") << primitive << int(QStyle::PE_PanelItemViewItem) << 0 << true
                                           << QPoint(20, 20) << Background;
        QTest::newRow("unchecked box: nothing above it") << primitive << int(QStyle::PE_IndicatorCheckBox) << 0
                                                         << false << QPoint(20, 2) << Background;
        QTest::newRow("unchecked box: 4 px narrower") << primitive << int(QStyle::PE_IndicatorCheckBox) << 0 << false
                                                      << QPoint(38, 20) << Background;
        QTest::newRow("tool bar: outline") << control << int(QStyle::CE_ToolBar) << 0 << false << QPoint(20, 1)
                                           << QColor(170, 170, 170);
        QTest::newRow("tool bar: top") << control << int(QStyle::CE_ToolBar) << 0 << false << QPoint(20, 3)
                                       << QColor(249, 249, 249);
        QTest::newRow("tool bar: bottom") << control << int(QStyle::CE_ToolBar) << 0 << false << QPoint(20, 35)
                                          << QColor(233, 233, 233);
    }
    void paintsColour()
    {
        QFETCH(int, kind);
        QFETCH(int, element);
        QFETCH(int, state);
        QFETCH(bool, contactList);
        QFETCH(QPoint, probe);
        QFETCH(QColor, expected);
        QStyleOption option;
        option.rect = QRect(QPoint(0, 0), Canvas);
        option.state = QStyle::State(state);
        const QImage image = paint(&m_style, Kind(kind), element, option, contactList ? &m_contactList : nullptr);
        const QColor actual = image.pixelColor(probe);
        QVERIFY2(near(actual, expected), qPrintable(QStringLiteral("%1 instead of %2").arg(actual.name(), expected.name())));
    }

    // Elements that draw nothing: the canvas stays as it was.
    void paintsNothing_data()
    {
        QTest::addColumn<int>("element");
        QTest::addColumn<int>("optionType");

        QTest::newRow("frame of a frame") << int(QStyle::PE_Frame) << int(QStyleOption::SO_Frame);
        QTest::newRow("frame of a focus rectangle") << int(QStyle::PE_Frame) << int(QStyleOption::SO_FocusRect);
        QTest::newRow("frame of a menu item") << int(QStyle::PE_Frame) << int(QStyleOption::SO_MenuItem);
        QTest::newRow("tab widget frame") << int(QStyle::PE_FrameTabWidget) << int(QStyleOption::SO_Default);
    }
    void paintsNothing()
    {
        QFETCH(int, element);
        QFETCH(int, optionType);
        QStyleOption option(1, optionType);
        option.rect = QRect(QPoint(0, 0), Canvas);
        QImage untouched(Canvas, QImage::Format_ARGB32_Premultiplied);
        untouched.fill(Background);
        QCOMPARE(paint(&m_style, Kind::Primitive, element, option, nullptr), untouched);
    }

    void plainFrameGetsRoundedOutline()
    {
        QStyleOption option;
        option.rect = QRect(QPoint(0, 0), Canvas);
        const QImage image = paint(&m_style, Kind::Primitive, QStyle::PE_Frame, option, nullptr);
        QCOMPARE(image.pixelColor(0, 20), QColor(Qt::black));
        // Rounded: the corner itself stays bare.
        QCOMPARE(image.pixelColor(0, 0), Background);
    }

    // Glass: brighter above the middle than below, with a step at the middle.
    void glassPanels_data()
    {
        QTest::addColumn<int>("element");
        QTest::newRow("button bevel") << int(QStyle::PE_PanelButtonBevel);
        QTest::newRow("status bar") << int(QStyle::PE_PanelStatusBar);
    }
    void glassPanels()
    {
        QFETCH(int, element);
        QStyleOption option;
        option.rect = QRect(QPoint(0, 0), Canvas);
        const QImage image = paint(&m_style, Kind::Primitive, element, option, nullptr);
        const int x = 15;
        const int upper = image.pixelColor(x, 8).green();
        const int justAbove = image.pixelColor(x, option.rect.center().y() - 1).green();
        const int justBelow = image.pixelColor(x, option.rect.center().y() + 2).green();
        QVERIFY(upper > justAbove);
        QVERIFY2(justAbove - justBelow > 20, "no step at the middle");
        QVERIFY(image.pixelColor(x, 8) != Background);
    }

    void checkedBoxShowsTick()
    {
        QStyleOption option;
        option.rect = QRect(QPoint(0, 0), Canvas);
        option.state = QStyle::State_Off;
        const QImage unchecked = paint(&m_style, Kind::Primitive, QStyle::PE_IndicatorCheckBox, option, nullptr);
        option.state = QStyle::State_On;
        const QImage checked = paint(&m_style, Kind::Primitive, QStyle::PE_IndicatorCheckBox, option, nullptr);
        QVERIFY(checked != unchecked);
        // The box's (0, 58, 165) outline lies 4 px below the option's top.
        for (const QImage &image : {checked, unchecked}) {
            const QColor outline = image.pixelColor(20, 4);
            QVERIFY2(outline.blue() > outline.green() + 40 && outline.blue() > outline.red() + 40,
                     qPrintable(outline.name()));
        }
    }

    void contactListHeaderHasWhiteOutline()
    {
        QStyleOptionHeader header;
        header.rect = QRect(QPoint(0, 0), Canvas);
        const QImage image = paint(&m_style, Kind::Control, QStyle::CE_HeaderSection, header, &m_contactList);
        // Antialiased on the edge: half white over the glass.
        QVERIFY2(image.pixelColor(20, 0).red() > 200, qPrintable(image.pixelColor(20, 0).name()));
        QVERIFY(image.pixelColor(20, 0).red() > image.pixelColor(20, 30).red());
    }

    // Rows and headers of any other view look as the base style draws them.
    void otherViewsUseBaseStyle_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("element");
        QTest::newRow("row") << int(Kind::Primitive) << int(QStyle::PE_PanelItemViewItem);
        QTest::newRow("header") << int(Kind::Control) << int(QStyle::CE_HeaderSection);
    }
    void otherViewsUseBaseStyle()
    {
        QFETCH(int, kind);
        QFETCH(int, element);
        std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
        QStyleOptionViewItem option;
        option.rect = QRect(QPoint(0, 0), Canvas);
        option.state = QStyle::State_MouseOver | QStyle::State_Selected | QStyle::State_Enabled;
        QStyleOptionHeader header;
        header.rect = option.rect;
        header.state = QStyle::State_Enabled;
        const QStyleOption &used = kind == int(Kind::Control) ? static_cast<const QStyleOption &>(header) : option;
        const QImage ours = paint(&m_style, Kind(kind), element, used, &m_otherList);
        QCOMPARE(ours, paint(fusion.get(), Kind(kind), element, used, &m_otherList));
        QVERIFY(ours != paint(&m_style, Kind(kind), element, used, &m_contactList));
    }

    void polishLeavesOnlyProgressBarsFilling()
    {
        QProgressBar bar;
        QLabel label;
        for (QWidget *widget : {static_cast<QWidget *>(&bar), static_cast<QWidget *>(&label)}) {
            widget->setAutoFillBackground(true);
            widget->setAttribute(Qt::WA_OpaquePaintEvent, true);
            m_style.polish(widget);
        }
        QVERIFY(bar.autoFillBackground());
        QVERIFY(bar.testAttribute(Qt::WA_OpaquePaintEvent));
        QVERIFY(!label.autoFillBackground());
        QVERIFY(!label.testAttribute(Qt::WA_OpaquePaintEvent));
    }

private:
    QWivoraStyle m_style;
    QTreeWidget m_contactList;
    QTreeWidget m_otherList;
};

WIVORA_TEST_MAIN(tst_QWivoraStyle)
#include "tst_QWivoraStyle.moc"
