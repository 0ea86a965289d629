// The Transfer Manager and Transfer Monitor docks, offscreen, on alice's and
// bob's real plug-ins: rows as transfers come, move, pause, end and go; the
// stored maximum; the overwrite question; widgets for the rows in sight
// only; the files contacts have open; and pictures of both docks with
// transfers under way.
#include "QtTestSuite.h"
#include "ModalAnswer.h"
#include "TransferFixture.h"
#include "UrlCatcher.h"

#include <TransferListModel.h>
#include <TransferManager.h>

#include <algorithm>
#include <VirtualFile.h>
#include <WFtpMain.h>
#include <WFtpProtocol.h>
#include <uiTransferEntity.h>
#include <uiTransferManager.h>
#include <uiTransferMonitor.h>
#include <uiTransferMonitorEntity.h>

#include <QAction>
#include <QDockWidget>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSemaphore>
#include <QToolButton>
#include <QtConcurrent>
#include <QtTest>

namespace {

const QString Disc = QStringLiteral("vls/bob/docs/root");
// The disc as the rows name it.
const QString Shown = QStringLiteral("bob: docs");

// The whole status line (the label may show it shortened).
QString statusOf(uiTransferEntity *row)
{
    return row ? row->findChild<QLabel *>(QStringLiteral("label_2"))->toolTip() : QString();
}

QToolButton *pauseButtonOf(uiTransferEntity *row)
{
    return row->findChild<QToolButton *>(QStringLiteral("toolButton"));
}

// False too while the row's widget is still to be made.
bool canPause(uiTransferEntity *row)
{
    return row && pauseButtonOf(row)->isEnabled();
}

// At the given device pixel ratio, on white as the dock's window shows it.
bool saveScreenshot(QWidget *widget, qreal pixelRatio, const QString &name)
{
    QImage image(widget->size() * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::white);
    widget->render(&image);
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    return image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

QImage pictureOf(QWidget *row)
{
    const QPixmap pixmap = row->findChild<QLabel *>(QStringLiteral("label"))->pixmap(Qt::ReturnByValue);
    return pixmap.isNull() ? QImage() : pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

// Through a pixmap, as a label holds it: a pixmap may keep its pixels
// premultiplied, so semi-transparent ones differ from the file's by rounding.
QImage resourcePicture(const QString &name)
{
    const QPixmap picture(QStringLiteral(":/icons/Resources/") + name);
    return picture.isNull() ? QImage() : picture.toImage().convertToFormat(QImage::Format_ARGB32);
}

bool showsIcon(QToolButton *button, const QString &name)
{
    const QImage shown = button->icon().pixmap(16).toImage();
    return !shown.isNull() && shown == QIcon(QStringLiteral(":/icons/Resources/") + name).pixmap(16).toImage();
}

// Answers every overwrite question with one button while it lives.
class OverwriteAnswerer : public QObject
{
public:
    explicit OverwriteAnswerer(QMessageBox::StandardButton button) : m_button(button)
    {
        m_poll.callOnTimeout(this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->windowTitle() != QLatin1String("Overwrite") || !box->isVisible())
                return;
            questions << box->text();
            box->button(m_button)->click();
        });
        m_poll.start(10);
    }
    QStringList questions;

private:
    QMessageBox::StandardButton m_button;
    QTimer m_poll;
};

} // namespace

class tst_TransferDocks : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void addedTransfersShowAsRows();
    void maxField_data();
    void maxField();
    void maximumFromTheCallerAndTheAccount();
    void clearing_data();
    void clearing();
    void busyGlobalPoolHoldsNothingBack();
    void pauseLetsTheNextOneIn();
    void overwriteQuestion_data();
    void overwriteQuestion();
    void batchAnswer_data();
    void batchAnswer();
    void questionWaitsForAnOpenDialog();
    void stopWhileTheQuestionIsOpen_data();
    void stopWhileTheQuestionIsOpen();
    void openButtons_data();
    void openButtons();
    void nothingToOpenWhenNothingArrived();
    void onlyRowsInSightHaveWidgets();
    void monitorFollowsTheServingEngine();
    void monitorRowsComeAndGoFromAnyThread();
    void screenshots();

private:
    TransferManager &manager() { return m_net->alicePlugin->transfers(); }
    QListView *listOf(uiTransferManager &dock) { return dock.findChild<QListView *>(QStringLiteral("listWidget")); }
    QSharedPointer<TransferWorker> download(const QString &name)
    {
        return manager().addTransfer({{Disc + '/' + name, true}}, m_net->path("local"), Disc);
    }

    std::unique_ptr<TransferFixture> m_net;
};

void tst_TransferDocks::init()
{
    m_net = std::make_unique<TransferFixture>();
}

void tst_TransferDocks::cleanup()
{
    manager().stopAllTransfers();
    QVERIFY(manager().waitForDone(30000));
    m_net.reset();
}

void tst_TransferDocks::addedTransfersShowAsRows()
{
    uiTransferManager dock(manager());
    dock.show();
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.bin"), "a"));
    // The first holds the one slot while no link comes; the second waits.
    m_net->alice.refuseLinks = true;
    download("a.bin");
    download("a.bin");
    QListView *list = listOf(dock);
    // The rows and their widgets come with the next turns of the event loop.
    QTRY_COMPARE(list->model()->rowCount(), 2);
    QTRY_VERIFY(dock.row(1));
    const QRegularExpression braced("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$");
    const QString first = list->model()->index(0, 0).data(Qt::UserRole + 1).toString();
    QVERIFY2(braced.match(first).hasMatch(), qPrintable(first));
    QVERIFY(first != list->model()->index(1, 0).data(Qt::UserRole + 1).toString());
    QCOMPARE(list->visualRect(list->model()->index(1, 0)).height(), 31);
    QCOMPARE(dock.row(1)->height(), 31);
    QCOMPARE(statusOf(dock.row(1)), QString("initializing"));
    QVERIFY(!canPause(dock.row(1)));
    // What arrived opens only after the run.
    QVERIFY(dock.row(1)->findChild<QPushButton *>(QStringLiteral("pushButton"))->isHidden());
    QVERIFY(dock.row(1)->findChild<QPushButton *>(QStringLiteral("pushButton_2"))->isHidden());
    QTRY_VERIFY(canPause(dock.row(0)));
    QVERIFY(!canPause(dock.row(1)));
}

void tst_TransferDocks::maxField_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("storedAfter");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("saves");
    QTest::addColumn<int>("maximum");
    QTest::newRow("zero stores one") << "3" << "0" << "1" << "1" << 1 << 1;
    QTest::newRow("three") << "1" << "3" << "3" << "3" << 1 << 3;
    QTest::newRow("the stored value changes nothing") << "3" << "3" << "3" << "3" << 0 << 1;
}

void tst_TransferDocks::maxField()
{
    QFETCH(QString, stored);
    QFETCH(QString, typed);
    QFETCH(QString, storedAfter);
    QFETCH(QString, shown);
    QFETCH(int, saves);
    QFETCH(int, maximum);
    auto data = m_net->alice.getAccount()->accountData;
    data->setSetting(TransferManager::MaxTransfersSetting, stored.toLatin1(), true);
    uiTransferManager dock(manager());
    auto *field = dock.findChild<QLineEdit *>(QStringLiteral("maxField"));
    QCOMPARE(field->text(), QString("1"));
    const int savesBefore = m_net->alice.saves;
    field->selectAll();
    QTest::keyClicks(field, typed);
    QTest::mouseClick(dock.findChild<QPushButton *>(QStringLiteral("changeButton")), Qt::LeftButton);
    QCOMPARE(QString(data->getSetting(TransferManager::MaxTransfersSetting)), storedAfter);
    QCOMPARE(field->text(), shown);
    QCOMPARE(m_net->alice.saves - savesBefore, saves);
    QCOMPARE(manager().maxTransfers(), maximum);
}

void tst_TransferDocks::maximumFromTheCallerAndTheAccount()
{
    uiTransferManager dock(manager());
    auto *field = dock.findChild<QLineEdit *>(QStringLiteral("maxField"));
    dock.setMaxTransfers(4);
    QCOMPARE(field->text(), QString("4"));
    dock.setMaxTransfers(0);
    dock.setMaxTransfers(-2);
    QCOMPARE(field->text(), QString("4"));
    QCOMPARE(manager().maxTransfers(), 4);
    // Each login takes the stored maximum, also from the reconnect thread.
    m_net->alice.getAccount()->accountData->setSetting(TransferManager::MaxTransfersSetting, "2", true);
    QtConcurrent::run([this] { m_net->alicePlugin->initPlugin(); }).waitForFinished();
    QTRY_COMPARE(field->text(), QString("2"));
    QCOMPARE(manager().maxTransfers(), 2);
}

void tst_TransferDocks::clearing_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("left");
    QTest::newRow("clear completed") << "actionClear_completed" << 0 << 2;
    QTest::newRow("clear all, cancelled") << "actionClear_all" << int(QMessageBox::Cancel) << 3;
    QTest::newRow("clear all") << "actionClear_all" << int(QMessageBox::Ok) << 0;
}

void tst_TransferDocks::clearing()
{
    QFETCH(QString, action);
    QFETCH(int, answer);
    QFETCH(int, left);
    uiTransferManager dock(manager());
    dock.show();
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.bin"), "a"));
    download("a.bin");
    QTRY_COMPARE(statusOf(dock.row(0)), Shown + "/a.bin completed 1 of 1");
    // Then one holding the slot while no link comes, and one waiting for it.
    m_net->alice.refuseLinks = true;
    download("a.bin");
    download("a.bin");
    QTRY_VERIFY(canPause(dock.row(1)));
    bool asked = false;
    if (answer) {
        answerModal<QMessageBox>(this, [&](QMessageBox *box) {
            asked = box->windowTitle() == "Clear transfers" && box->text() == "Do you want to clear all transfers?" &&
                    box->defaultButton() == box->button(QMessageBox::Cancel);
            box->button(QMessageBox::StandardButton(answer))->click();
        });
    }
    dock.findChild<QAction *>(action)->trigger();
    QTRY_VERIFY(asked == bool(answer));
    // Stopped transfers leave once their workers have returned.
    QTRY_COMPARE_WITH_TIMEOUT(listOf(dock)->model()->rowCount(), left, 5000);
    QCOMPARE(manager().transfers().size(), left);
    QTest::qWait(100);
    QCOMPARE(listOf(dock)->model()->rowCount(), left);
    if (action == "actionClear_completed") {
        for (int i = 0; i < left; ++i)
            QVERIFY(!statusOf(dock.row(i)).contains("completed"));
    }
}

void tst_TransferDocks::busyGlobalPoolHoldsNothingBack()
{
    // Not shown: a hidden dock still gives its first rows widgets.
    uiTransferManager dock(manager());
    QThreadPool *global = QThreadPool::globalInstance();
    const int threads = global->maxThreadCount();
    global->setMaxThreadCount(1);
    QSemaphore release;
    QFuture<void> blocker = QtConcurrent::run([&] { release.acquire(); });
    // Also when a check fails: the pool gets its threads back first, so the
    // blocker (perhaps still queued behind the plug-ins' maintenance loops)
    // can run and end.
    const auto restore = qScopeGuard([&] {
        global->setMaxThreadCount(threads);
        release.release();
        blocker.waitForFinished();
    });
    for (int i = 0; i < 3; ++i) {
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/f%1.bin").arg(i), TransferFixture::pattern(100000, i)));
        download(QString("f%1.bin").arg(i));
    }
    for (int i = 0; i < 3; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(dock.row(i)), Shown + QString("/f%1.bin completed 1 of 1").arg(i), 20000);
}

void tst_TransferDocks::pauseLetsTheNextOneIn()
{
    uiTransferManager dock(manager());
    dock.show();
    const QByteArray big = TransferFixture::pattern(8 * 1024 * 1024);
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.bin"), big));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/b.bin"), "b"));
    // Slow replies keep the first transfer under way long enough to click.
    TestHost::ReplyFault slow;
    slow.delayMs = 100;
    m_net->alice.addReplyFault(WFtpProtocol::ReadFile, slow);
    auto first = download("a.bin");
    std::mutex mutex;
    QStringList texts;
    connect(first.data(), &TransferWorker::statusText, first.data(),
            [&](const QString &text) {
                std::lock_guard<std::mutex> lock(mutex);
                texts << text;
            },
            Qt::DirectConnection);
    download("b.bin");
    const QRegularExpression speedLine("^/a\\.bin speed: \\d+ KB/s, 1 of 1$");
    QTRY_VERIFY(speedLine.match(statusOf(dock.row(0))).hasMatch());
    // The bar follows the status line; on a loaded machine it may lag it.
    QTRY_VERIFY(dock.row(0)->findChild<QProgressBar *>()->value() > 0);
    QVERIFY(!canPause(dock.row(1)));
    QTest::mouseClick(pauseButtonOf(dock.row(0)), Qt::LeftButton);
    QTRY_COMPARE(statusOf(dock.row(0)), QString("/a.bin paused"));
    QVERIFY(showsIcon(pauseButtonOf(dock.row(0)), "play.png"));
    const int percent = dock.row(0)->findChild<QProgressBar *>()->value();
    QVERIFY(percent > 0 && percent < 100);
    // The paused one gave its slot to the next.
    QTRY_COMPARE(statusOf(dock.row(1)), Shown + "/b.bin completed 1 of 1");
    QVERIFY(!canPause(dock.row(1)));
    QCOMPARE(statusOf(dock.row(0)), QString("/a.bin paused"));
    // A second click while resuming pauses again; neither waits.
    QTest::mouseClick(pauseButtonOf(dock.row(0)), Qt::LeftButton);
    QTest::mouseClick(pauseButtonOf(dock.row(0)), Qt::LeftButton);
    QTRY_COMPARE(statusOf(dock.row(0)), QString("/a.bin paused"));
    QTest::mouseClick(pauseButtonOf(dock.row(0)), Qt::LeftButton);
    QTRY_VERIFY(showsIcon(pauseButtonOf(dock.row(0)), "pause.png"));
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(dock.row(0)), Shown + "/a.bin completed 1 of 1", 30000);
    {
        std::lock_guard<std::mutex> lock(mutex);
        QVERIFY(texts.contains("/a.bin resuming"));
    }
    QVERIFY(!canPause(dock.row(0)));
    QCOMPARE(dock.row(0)->findChild<QProgressBar *>()->value(), 100);
    QVERIFY(ShareFixture::readFile(m_net->path("local/a.bin")) == big);
    QCOMPARE(manager().slotQueue().heldSlots(), 0);
}

void tst_TransferDocks::overwriteQuestion_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<int>("questions");
    QTest::newRow("yes") << int(QMessageBox::Yes) << true << 2;
    QTest::newRow("no") << int(QMessageBox::No) << false << 2;
    QTest::newRow("yes to all") << int(QMessageBox::YesToAll) << true << 1;
    QTest::newRow("no to all") << int(QMessageBox::NoToAll) << false << 1;
}

void tst_TransferDocks::overwriteQuestion()
{
    QFETCH(int, button);
    QFETCH(bool, replaced);
    QFETCH(int, questions);
    uiTransferManager dock(manager());
    dock.show();
    for (const char *name : {"a.txt", "b.txt"}) {
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/") + name, "new"));
        QVERIFY(ShareFixture::writeFile(m_net->path("local/") + name, "old"));
    }
    OverwriteAnswerer answerer{QMessageBox::StandardButton(button)};
    manager().addTransfer({{Disc + "/a.txt", true}, {Disc + "/b.txt", true}}, m_net->path("local"), Disc);
    QTRY_VERIFY(statusOf(dock.row(0)).startsWith(Shown + "/a.txt completed "));
    QCOMPARE(answerer.questions.size(), questions);
    QCOMPARE(answerer.questions.first(), uiTransferManager::overwriteText(m_net->path("local/a.txt")));
    QVERIFY(answerer.questions.first().contains(QStringLiteral("\u201ca.txt\u201d already exists in ") + m_net->path("local")));
    for (const char *name : {"a.txt", "b.txt"})
        QCOMPARE(ShareFixture::readFile(m_net->path("local/") + name), QByteArray(replaced ? "new" : "old"));
}

void tst_TransferDocks::batchAnswer_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("no to all") << int(QMessageBox::NoToAll) << false;
    QTest::newRow("yes to all") << int(QMessageBox::YesToAll) << true;
}

// Forty queued transfers of one existing file each: one click answers them
// all, and no second question comes (one would hold its transfer forever).
// A transfer started after the answer is asked again.
void tst_TransferDocks::batchAnswer()
{
    QFETCH(int, button);
    QFETCH(bool, replaced);
    constexpr int Queued = 40;
    uiTransferManager dock(manager());
    dock.show();
    QList<QSharedPointer<TransferWorker>> transfers;
    for (int i = 0; i < Queued; ++i) {
        const QString name = QString("q%1.txt").arg(i);
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/") + name, "new"));
        QVERIFY(ShareFixture::writeFile(m_net->path("local/") + name, "old"));
        transfers << download(name);
    }
    QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    QCOMPARE(question->windowTitle(), QString("Overwrite"));
    QVERIFY(saveScreenshot(question, 1, QStringLiteral("overwrite-question")));
    QTest::mouseClick(question->button(QMessageBox::StandardButton(button)), Qt::LeftButton);
    const auto allReturned = [&] {
        return std::all_of(transfers.cbegin(), transfers.cend(), [](const auto &t) { return t->hasReturned(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allReturned(), 60000);
    QVERIFY(!QApplication::activeModalWidget());
    for (int i = 0; i < Queued; ++i)
        QCOMPARE(ShareFixture::readFile(m_net->path("local/q%1.txt").arg(i)), QByteArray(replaced ? "new" : "old"));

    QVERIFY(ShareFixture::writeFile(m_net->path("bob/later.txt"), "new"));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/later.txt"), "old"));
    const auto later = download("later.txt");
    QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    QCOMPARE(question->text(), uiTransferManager::overwriteText(m_net->path("local/later.txt")));
    QTest::mouseClick(question->button(QMessageBox::No), Qt::LeftButton);
    QTRY_VERIFY(later->hasReturned());
    QCOMPARE(ShareFixture::readFile(m_net->path("local/later.txt")), QByteArray("old"));
}

// The user is in a file dialog when a target turns out to exist: the
// question does not open behind it (where nothing could reach it) but
// after it closes, on top.
void tst_TransferDocks::questionWaitsForAnOpenDialog()
{
    uiTransferManager dock(manager());
    dock.show();
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.txt"), "new"));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/a.txt"), "old"));
    QFileDialog dialog(&dock);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    QTRY_COMPARE(QApplication::activeModalWidget(), static_cast<QWidget *>(&dialog));
    const auto transfer = download("a.txt");
    // The worker has looked at the target once its row says it opened it.
    QTRY_VERIFY(dock.row(0));
    QTRY_VERIFY(statusOf(dock.row(0)).startsWith(QStringLiteral("opening ")));
    QTest::qWait(300);
    QCOMPARE(QApplication::activeModalWidget(), static_cast<QWidget *>(&dialog));
    QVERIFY(!transfer->hasReturned());
    dialog.reject();
    QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    QCOMPARE(question->windowTitle(), QString("Overwrite"));
    QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_VERIFY(transfer->hasReturned());
    QCOMPARE(ShareFixture::readFile(m_net->path("local/a.txt")), QByteArray("new"));
}

void tst_TransferDocks::stopWhileTheQuestionIsOpen_data()
{
    QTest::addColumn<bool>("fromTheRow");
    QTest::newRow("the row's stop button") << true;
    QTest::newRow("stopping all at logout") << false;
}

void tst_TransferDocks::stopWhileTheQuestionIsOpen()
{
    QFETCH(bool, fromTheRow);
    uiTransferManager dock(manager());
    dock.show();
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/a.txt"), "new"));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/a.txt"), "old"));
    download("a.txt");
    QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    QPointer<QMessageBox> question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    QCOMPARE(question->windowTitle(), QString("Overwrite"));
    int ticks = 0;
    QTimer ticking;
    ticking.callOnTimeout([&] { ++ticks; });
    ticking.start(10);
    QElapsedTimer stopping;
    stopping.start();
    if (fromTheRow) {
        answerModal<QMessageBox>(this, [](QMessageBox *box) {
            if (box->windowTitle() == "Clear transfer")
                box->button(QMessageBox::Ok)->click();
        });
        QTest::mouseClick(dock.row(0)->findChild<QToolButton *>(QStringLiteral("toolButton_2")), Qt::LeftButton);
    } else {
        dock.stopAllTransfers();
        QVERIFY(stopping.elapsed() < 100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(listOf(dock)->model()->rowCount(), 0, 1500);
    QTRY_VERIFY(question.isNull());
    QVERIFY(ticks > 0);
    QCOMPARE(ShareFixture::readFile(m_net->path("local/a.txt")), QByteArray("old"));
}

void tst_TransferDocks::openButtons_data()
{
    QTest::addColumn<QString>("item"); // under bob's disc, or a local path
    QTest::addColumn<bool>("isFile");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    QTest::newRow("downloaded file") << "sub/f.txt" << true << "local/sub/f.txt" << "local";
    QTest::newRow("uploaded file") << "local/up/f.txt" << true << "local/up/f.txt" << "local/up";
    QTest::newRow("uploaded folder") << "local/up" << false << "local/up" << "local/up";
}

void tst_TransferDocks::openButtons()
{
    QFETCH(QString, item);
    QFETCH(bool, isFile);
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QVERIFY(QDir().mkpath(m_net->path("bob/sub")) && QDir().mkpath(m_net->path("local/up")));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/sub/f.txt"), "f"));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/up/f.txt"), "f"));
    uiTransferManager dock(manager());
    dock.show();
    const bool download = !item.startsWith("local/");
    const QString key = download ? Disc + '/' + item : m_net->path(item);
    manager().addTransfer({{key, isFile}}, download ? m_net->path("local") : Disc,
                          download ? Disc : m_net->path("local"));
    QTRY_VERIFY(dock.row(0));
    auto *openFile = dock.row(0)->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *openFolder = dock.row(0)->findChild<QPushButton *>(QStringLiteral("pushButton_2"));
    QTRY_VERIFY(openFile->isVisible() && openFolder->isVisible());
    QTRY_VERIFY2(statusOf(dock.row(0)).startsWith(WFtpMain::shownPath(key) + " completed"),
                 qPrintable(statusOf(dock.row(0))));
    UrlCatcher catcher({"file"});
    QTest::mouseClick(openFile, Qt::LeftButton);
    QTest::mouseClick(openFolder, Qt::LeftButton);
    QCOMPARE(catcher.opened,
             (QList<QUrl>{QUrl::fromLocalFile(m_net->path(file)), QUrl::fromLocalFile(m_net->path(folder))}));
    QVERIFY(QFile::exists(m_net->path(file)));
}

// A download of a file that is not there ends "0 of 1": its folder can be
// opened, there is no file to open.
void tst_TransferDocks::nothingToOpenWhenNothingArrived()
{
    uiTransferManager dock(manager());
    dock.show();
    download("missing.txt");
    QTRY_VERIFY(dock.row(0));
    QTRY_COMPARE(statusOf(dock.row(0)), Shown + "/missing.txt completed 0 of 1");
    QTRY_VERIFY(dock.row(0)->findChild<QPushButton *>(QStringLiteral("pushButton_2"))->isVisible());
    QVERIFY(!dock.row(0)->findChild<QPushButton *>(QStringLiteral("pushButton"))->isVisible());
}

void tst_TransferDocks::onlyRowsInSightHaveWidgets()
{
    // Forty quick downloads, then one whose target exists: its question
    // comes while its row is far out of sight and has no widget.
    constexpr int Quick = 40;
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/last.txt"), "new"));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/last.txt"), "old"));
    // The dock is there before any transfer, as in the program.
    uiTransferManager dock(manager());
    dock.resize(538, 170);
    dock.show();
    for (int i = 0; i < Quick; ++i) {
        QVERIFY(ShareFixture::writeFile(m_net->path("bob/f%1.txt").arg(i), "f"));
        download(QString("f%1.txt").arg(i));
    }
    QListView *list = listOf(dock);
    const auto widgets = [&] { return list->findChildren<uiTransferEntity *>().size(); };
    QTRY_VERIFY(dock.row(0));
    download("last.txt");
    const int inSight = list->viewport()->height() / TransferListModel::RowHeight + 1;
    QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    QCOMPARE(question->text(), uiTransferManager::overwriteText(m_net->path("local/last.txt")));
    QVERIFY(!dock.row(Quick));
    QVERIFY2(widgets() < Quick, qPrintable(QString::number(widgets())));
    QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE(ShareFixture::readFile(m_net->path("local/last.txt")), QByteArray("new"));

    // To the end and back by keys: each row that comes into sight shows
    // its transfer's state, the rows left behind give their widgets back.
    QTest::keyClick(list, Qt::Key_End);
    QTRY_VERIFY(dock.row(Quick));
    QTRY_COMPARE(statusOf(dock.row(Quick)), Shown + "/last.txt completed 1 of 1");
    QVERIFY(dock.row(Quick)->findChild<QPushButton *>(QStringLiteral("pushButton"))->isVisible());
    QVERIFY(!dock.row(0));
    QTRY_VERIFY2(widgets() <= 3 * inSight + 16, qPrintable(QString::number(widgets())));
    QTest::keyClick(list, Qt::Key_Home);
    QTRY_VERIFY(dock.row(0));
    // A remade row takes its state from the model within a turn or two.
    QTRY_COMPARE(statusOf(dock.row(0)), Shown + "/f0.txt completed 1 of 1");
    QVERIFY(!dock.row(Quick));
    // The remade row's stop button still asks and clears.
    answerModal<QMessageBox>(this, [](QMessageBox *box) {
        if (box->windowTitle() == "Clear transfer")
            box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(dock.row(0)->findChild<QToolButton *>(QStringLiteral("toolButton_2")), Qt::LeftButton);
    QTRY_COMPARE(list->model()->rowCount(), Quick);
    QTRY_COMPARE(statusOf(dock.row(0)), Shown + "/f1.txt completed 1 of 1");
}

void tst_TransferDocks::monitorFollowsTheServingEngine()
{
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/f.bin"), TransferFixture::pattern(5000)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/g.bin"), TransferFixture::pattern(5000)));
    uiTransferMonitor dock(m_net->bobPlugin->monitor());
    dock.show();
    // Alice asks from threads of her own, as a transfer does.
    VirtualFile f(m_net->main()), g(m_net->main());
    QVERIFY(QtConcurrent::run([&] { return f.open(Disc + "/f.bin"); }).result());
    QTRY_VERIFY(dock.row(0));
    QCOMPARE(dock.rowCount(), 1);
    uiTransferMonitorEntity *row = dock.row(0);
    // The whole line (the label may show it shortened).
    const auto amount = [&] { return row->findChild<QLabel *>(QStringLiteral("label_2"))->toolTip(); };
    QCOMPARE(amount(), m_net->path("bob/f.bin") + " read: 0 bytes");
    QCOMPARE(row->findChild<QLabel *>(QStringLiteral("label_3"))->text(), QString("alice"));
    QCOMPARE(row->findChild<QLabel *>(QStringLiteral("label_4"))->text(), QString("Username: "));
    QVERIFY(!resourcePicture("upload.png").isNull());
    QCOMPARE(pictureOf(row), resourcePicture("upload.png"));
    QCOMPARE(row->height(), 28);

    QVERIFY(QtConcurrent::run([&] { return g.open(Disc + "/g.bin"); }).result());
    QTRY_COMPARE(dock.rowCount(), 2);
    QCOMPARE(QtConcurrent::run([&] { return f.read(0, 1025); }).result().size(), 1025);
    QTRY_COMPARE(amount(), m_net->path("bob/f.bin") + " read: 1 KB");
    QVERIFY(QtConcurrent::run([&] { return g.write("xyz", 0); }).result());
    QTRY_VERIFY(dock.row(1));
    auto *other = dock.row(1);
    QTRY_COMPARE(other->findChild<QLabel *>(QStringLiteral("label_2"))->toolTip(),
                 m_net->path("bob/g.bin") + " written: 3 bytes");
    QCOMPARE(pictureOf(other), resourcePicture("Download.png"));
    QCOMPARE(amount(), m_net->path("bob/f.bin") + " read: 1 KB");

    // Alice closes one; the owner's idle sweep closes the other on a pool thread.
    QVERIFY(QtConcurrent::run([&] { return f.close(); }).result());
    QTRY_COMPARE(dock.rowCount(), 1);
    QCOMPARE(dock.row(0), other);
    WFtpEngine *serving = m_net->bobPlugin->commandParser().engine().data();
    QtConcurrent::run([serving] { serving->closeAllFiles(); }).waitForFinished();
    QTRY_COMPARE(dock.rowCount(), 0);
}

void tst_TransferDocks::monitorRowsComeAndGoFromAnyThread()
{
    TransferMonitor monitor;
    uiTransferMonitor dock(monitor);
    QtConcurrent::run([&] {
        dock.slotAddTransfer("{1}", "/srv/a", "ann");
        dock.slotAddTransfer("{2}", "/srv/b", "ben");
    }).waitForFinished();
    QTRY_VERIFY(dock.row(1));
    QCOMPARE(dock.rowCount(), 2);
    QCOMPARE(dock.row(1)->findChild<QLabel *>(QStringLiteral("label_3"))->text(), QString("ben"));
    QtConcurrent::run([&] { dock.slotRemoveTransfer("{1}"); }).waitForFinished();
    QTRY_COMPARE(dock.rowCount(), 1);
    QCOMPARE(dock.row(0)->fileID(), QString("{2}"));
}

void tst_TransferDocks::screenshots()
{
    // Alice's client: a download half way, a paused upload, a finished
    // download and one waiting; bob's monitor shows what alice has open.
    WFtp &alice = *m_net->alicePlugin;
    WFtp &bob = *m_net->bobPlugin;
    QMainWindow aliceWindow, bobWindow;
    auto *managerDock = new QDockWidget(QStringLiteral("Transfer Manager"), &aliceWindow);
    managerDock->setWidget(new uiTransferManager(alice.transfers()));
    aliceWindow.addDockWidget(Qt::BottomDockWidgetArea, managerDock);
    auto *monitorDock = new QDockWidget(QStringLiteral("Transfer Monitor"), &bobWindow);
    auto *monitor = new uiTransferMonitor(bob.monitor());
    monitorDock->setWidget(monitor);
    bobWindow.addDockWidget(Qt::BottomDockWidgetArea, monitorDock);
    for (QMainWindow *window : {&aliceWindow, &bobWindow}) {
        window->setCentralWidget(new QWidget);
        window->centralWidget()->setMaximumHeight(0);
        window->resize(760, 200);
        window->show();
    }
    const auto rowAt = [&](int i) { return static_cast<uiTransferManager *>(managerDock->widget())->row(i); };

    QVERIFY(QDir().mkpath(m_net->path("local/Holiday 2026")));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/Band rehearsal - take 3.mp3"), TransferFixture::pattern(600000, 1)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/Lake Bled panorama.tiff"), TransferFixture::pattern(12 * 1024 * 1024, 2)));
    QVERIFY(ShareFixture::writeFile(m_net->path("local/Holiday 2026/Quarterly report Q3.pdf"),
                                    TransferFixture::pattern(6 * 1024 * 1024, 3)));
    QVERIFY(ShareFixture::writeFile(m_net->path("bob/Recipes.odt"), "recipes"));
    alice.transfers().setMaxTransfers(2);

    download("Band rehearsal - take 3.mp3");
    QTRY_VERIFY(statusOf(rowAt(0)).contains("completed"));
    // The panorama stops at about half way: the reply to its 20th read
    // (chunks grow from 10 536 bytes by a quarter) comes only after the
    // pictures are taken.
    TestHost::ReplyFault held;
    held.nth = 20;
    held.delayMs = 9000;
    m_net->alice.addReplyFault(WFtpProtocol::ReadFile, held);
    download("Lake Bled panorama.tiff");
    auto upload = alice.transfers().addTransfer({{m_net->path("local/Holiday 2026/Quarterly report Q3.pdf"), true}}, Disc,
                                                m_net->path("local/Holiday 2026"));
    connect(upload.data(), &TransferWorker::progress, upload.data(),
            [raw = upload.data()](const QString &, int percent) {
                if (percent >= 45)
                    raw->pause();
            },
            Qt::DirectConnection);
    QTRY_COMPARE(statusOf(rowAt(2)), QString("/Quarterly report Q3.pdf paused"));
    // The paused one's slot stays free: the next one waits.
    alice.transfers().setMaxTransfers(1);
    download("Recipes.odt");
    QTRY_VERIFY_WITH_TIMEOUT(rowAt(1)->findChild<QProgressBar *>()->value() >= 40, 20000);
    QTRY_COMPARE(monitor->rowCount(), 2);
    QTest::qWait(2 * uiTransferMonitor::RefreshMs);
    QVERIFY(rowAt(0)->findChild<QPushButton *>(QStringLiteral("pushButton"))->isVisible());
    QCOMPARE(statusOf(rowAt(3)), QString("initializing"));
    QVERIFY(statusOf(rowAt(1)).startsWith("/Lake Bled panorama.tiff speed: "));

    for (auto [dock, name] : {std::pair<QDockWidget *, const char *>{managerDock, "transfer_manager"},
                              {monitorDock, "transfer_monitor"}}) {
        QVERIFY(saveScreenshot(dock, 1, QLatin1String(name)));
        QVERIFY(saveScreenshot(dock, 2, QLatin1String(name) + "@2x"));
    }
    // A status line too long for its row is shortened, not cut off.
    auto *finished = rowAt(0)->findChild<QLabel *>(QStringLiteral("label_2"));
    QVERIFY(finished->text().contains(QChar(0x2026)));
    QVERIFY(finished->fontMetrics().horizontalAdvance(finished->text()) <= finished->width());
    for (int i = 0; i < 4; ++i)
        QVERIFY(rowAt(i)->geometry().width() >= rowAt(i)->minimumSizeHint().width());
}

WIVORA_TEST_MAIN(tst_TransferDocks)
#include "tst_TransferDocks.moc"
