// Pictures of the messaging page's files and album items as a user sees
// them, written to the build folder (tests/plugins/wmail/screenshots) for a
// person to look at: a conversation in which bob sent three files and an
// album of five pictures, the files item, the album's carousel, and the
// viewer opened on the album.
#include "QtTestSuite.h"
#include "PhotoAlbumRenderer.h"
#include "QPictureDetails.h"
#include "TabCarousel.h"
#include "TestHost.h"
#include "WMailFiles.h"
#include "WMailMain.h"
#include "WMailPhotoAlbum.h"
#include "WMailRenderer.h"
#include "WTalkRendererWebView.h"

#include <PSettings.h>

#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QWebFrame>
#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

// Beside the conversation pictures of the page's own test.
bool save(QWidget *widget, const QString &name)
{
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots");
    const QImage image = widget->grab().toImage();
    return QDir().mkpath(folder) && !image.isNull() && image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// A picture a person can tell apart from the others: a sky, a hill and a sun
// in colours of their own, and its number.
QImage landscape(const QSize &size, int number)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor::fromHsv((200 + number * 40) % 360, 160, 240));
    sky.setColorAt(1, QColor::fromHsv((200 + number * 40) % 360, 60, 255));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromHsv((90 + number * 30) % 360, 170, 150));
    painter.drawEllipse(QRectF(-0.2 * size.width(), 0.6 * size.height(), 1.4 * size.width(), size.height()));
    painter.setBrush(QColor(255, 215, 80));
    const qreal sun = 0.12 * qMin(size.width(), size.height());
    painter.drawEllipse(QPointF(0.75 * size.width(), 0.25 * size.height()), sun, sun);
    QFont font;
    font.setPixelSize(size.height() / 4);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(image.rect(), Qt::AlignCenter, QString::number(number + 1));
    return image;
}

} // namespace

class tst_WMailScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        PSettings::SetValue(QStringLiteral("service/domain"), QStringLiteral("127.0.0.1"));
        PSettings::SetValue(QStringLiteral("service/port"), QStringLiteral("1"));
        QVERIFY(m_dir.isValid());
        m_host.reset(new TestHost(m_dir.filePath(QStringLiteral("storage")), kAlice));
        m_main.setHost(m_host.get());
        m_main.initPlugin();
        m_conversation = m_main.setUser(kBob);
        QVERIFY(m_conversation);
        m_page = m_main.chatWidget();
        m_page->resize(760, 620);
        m_page->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_page));

        fromBob(QStringLiteral("text"), "Here are the notes from Tuesday, and the pictures of the trip.");
        const QList<QPair<QString, QByteArray>> files = {{QStringLiteral("meeting notes.txt"), QByteArray(1800, 'n')},
                                                         {QStringLiteral("budget 2026.ods"), QByteArray(46000, 'b')},
                                                         {QStringLiteral("site plan.pdf"), QByteArray(2300000, 'p')}};
        QStringList paths;
        for (const auto &file : files) {
            QFile out(m_dir.filePath(file.first));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file.second);
            paths << out.fileName();
        }
        QString error;
        fromBob(QStringLiteral("files"), WMailFiles::encode(paths, &error));
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const QList<QSize> sizes = {{1600, 1000}, {900, 1200}, {1200, 800}, {1000, 1000}, {1600, 600}};
        QByteArray entries;
        for (int i = 0; i < sizes.size(); ++i) {
            const QString path = m_dir.filePath(QStringLiteral("trip day %1.jpg").arg(i + 1));
            QVERIFY(landscape(sizes.at(i), i).save(path, "JPG", 90));
            QVERIFY(WMailPhotoAlbum::appendPicture(&entries, path));
        }
        fromBob(QStringLiteral("photoalbum"), WMailPhotoAlbum::itemData(sizes.size(), entries));

        // The page embeds each item's widget once it has laid the page out.
        QVERIFY(QTest::qWaitFor([this] { return filesRenderer() && albumRenderer(); }, 20000));
        QTest::qWait(300);
    }

    void conversation() { QVERIFY(save(m_page, QStringLiteral("wmail_files_album_conversation"))); }

    void filesItem()
    {
        QWidget *item = filesRenderer();
        QCOMPARE(item->findChild<QTreeWidget *>(QStringLiteral("treeWidget"))->topLevelItemCount(), 3);
        QVERIFY(save(item, QStringLiteral("wmail_files_item")));
    }

    void carousel()
    {
        QCOMPARE(albumRenderer()->carousel()->tiles().size(), 5);
        QVERIFY(save(albumRenderer(), QStringLiteral("wmail_carousel")));
    }

    void viewer()
    {
        QPictureDetails *viewer = albumRenderer()->openPictures(1);
        QVERIFY(viewer);
        QVERIFY(QTest::qWaitForWindowExposed(viewer));
        QCOMPARE(viewer->count(), 5);
        QVERIFY(save(viewer, QStringLiteral("wmail_viewer")));
        viewer->close();
    }

    void cleanupTestCase()
    {
        m_main.closePlugin();
        m_host->joinDeliveries();
    }

private:
    // A message bob sent, filed and shown as a received one is.
    void fromBob(const QString &type, const QByteArray &data)
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const WMailStructure::Pointer message = m_conversation->newMessage(type, kBob, now);
        message->localTime = now;
        QVERIFY(m_conversation->addMessage(m_conversation->viewRoot(), message, data, true));
        m_page->addMessageToPage(message->id);
    }

    QWidget *filesRenderer() const
    {
        for (QWidget *child : m_page->findChildren<QWidget *>()) {
            if (child->inherits("FilesRenderer"))
                return child;
        }
        return nullptr;
    }
    PhotoAlbumRenderer *albumRenderer() const { return m_page->findChild<PhotoAlbumRenderer *>(); }

    QTemporaryDir m_dir;
    std::unique_ptr<TestHost> m_host;
    WMailMain m_main;
    WMailConversation::Pointer m_conversation;
    WMailRenderer *m_page = nullptr;
};

WIVORA_TEST_MAIN(tst_WMailScreenshots)
#include "tst_WMailScreenshots.moc"
