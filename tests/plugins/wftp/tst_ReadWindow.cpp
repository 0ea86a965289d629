// The read window against a simulated link: reads leave while the window
// admits them, and answers come back no sooner than a round trip after their
// read and no faster than the link's rate. The window has to fill fast and
// long links alike, stay within its bound, and keep every answer quick on a
// slow one.
#include "QtTestSuite.h"

#include <ReadWindow.h>

#include <QtTest>

#include <algorithm>
#include <deque>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 UsPerSecond = 1000 * 1000;

struct LinkRun
{
    double lastSecondRate = 0; // bytes per second over the run's last second
    qint64 slowestAnswerUs = 0;
    qint64 largestWindow = 0;
};

// Keeps the window full of reads of chunk bytes for seconds of simulated time.
// Simulated time starts at startUs.
LinkRun runLink(ReadWindow &window, double bytesPerSecond, qint64 roundTripUs, qint64 chunk, qint64 seconds,
                qint64 startUs = 0)
{
    const qint64 endUs = startUs + seconds * UsPerSecond;
    const double usPerChunk = double(chunk) * UsPerSecond / bytesPerSecond;
    std::deque<qint64> sentAt;
    qint64 now = startUs;
    double lastAnswer = double(startUs);
    qint64 lastSecondBytes = 0;
    LinkRun run;
    while (now < endUs) {
        while (window.admits(qint64(sentAt.size()) * chunk, chunk))
            sentAt.push_back(now);
        run.largestWindow = std::max(run.largestWindow, window.bytes());
        const qint64 sent = sentAt.front();
        sentAt.pop_front();
        lastAnswer = std::max(double(sent + roundTripUs), lastAnswer + usPerChunk);
        now = qint64(lastAnswer);
        run.slowestAnswerUs = std::max(run.slowestAnswerUs, now - sent);
        window.answered(chunk, now - sent, now);
        if (now >= endUs - UsPerSecond)
            lastSecondBytes += chunk;
    }
    run.lastSecondRate = double(lastSecondBytes);
    return run;
}

} // namespace

class tst_ReadWindow : public QObject
{
    Q_OBJECT

private slots:
    void fillsTheLinkWithinItsBound_data();
    void fillsTheLinkWithinItsBound();
    void slowAnswersShrinkIt();
    void startsSmallAndOverAfterReset();
};

void tst_ReadWindow::fillsTheLinkWithinItsBound_data()
{
    QTest::addColumn<double>("bytesPerSecond");
    QTest::addColumn<qint64>("roundTripUs");
    QTest::addColumn<qint64>("chunk");
    // Share of the link's rate reached in the last second of ten.
    QTest::addColumn<double>("share");
    QTest::addColumn<qint64>("slowestAnswerUs");

    QTest::newRow("100 ms at 60 MiB/s") << 60.0 * MiB << qint64(100000) << MiB << 0.97 << qint64(1500000);
    QTest::newRow("20 ms at 60 MiB/s") << 60.0 * MiB << qint64(20000) << MiB << 0.97 << qint64(1500000);
    QTest::newRow("loopback at 1 GiB/s") << 1024.0 * MiB << qint64(500) << MiB << 0.97 << qint64(1500000);
    // Rate times round trip is over the bound: the bound is what is asked.
    QTest::newRow("300 ms at 1 GiB/s") << 1024.0 * MiB << qint64(300000) << MiB << 0.09 << qint64(1500000);
    // Even the first window takes seconds: the answers are still within a
    // request's time limit, and one read is always on its way.
    QTest::newRow("slow link") << 100.0 * KiB << qint64(50000) << 16 * KiB << 0.97 << qint64(6 * UsPerSecond);
}

void tst_ReadWindow::fillsTheLinkWithinItsBound()
{
    QFETCH(double, bytesPerSecond);
    QFETCH(qint64, roundTripUs);
    QFETCH(qint64, chunk);
    QFETCH(double, share);
    QFETCH(qint64, slowestAnswerUs);

    ReadWindow window;
    const LinkRun run = runLink(window, bytesPerSecond, roundTripUs, chunk, 10);
    QVERIFY2(run.lastSecondRate >= share * bytesPerSecond,
             qPrintable(QStringLiteral("%1 of %2 bytes/s").arg(run.lastSecondRate).arg(bytesPerSecond)));
    QVERIFY(run.largestWindow <= ReadWindow::MaxBytes);
    QVERIFY(window.bytes() >= ReadWindow::FirstBytes);
    QVERIFY2(run.slowestAnswerUs <= slowestAnswerUs, qPrintable(QString::number(run.slowestAnswerUs)));
    // Filling the link asks for no more than twice what it holds.
    const double filled = bytesPerSecond * double(roundTripUs) / UsPerSecond;
    QVERIFY2(double(window.bytes()) <= std::max(2.2 * filled, double(ReadWindow::FirstBytes)) + chunk,
             qPrintable(QStringLiteral("window %1 for %2 on the way").arg(window.bytes()).arg(filled)));
    if (filled * 2 > ReadWindow::MaxBytes)
        QCOMPARE(window.bytes(), ReadWindow::MaxBytes);
}

void tst_ReadWindow::slowAnswersShrinkIt()
{
    ReadWindow window;
    runLink(window, 60.0 * MiB, 100000, MiB, 5);
    const qint64 wide = window.bytes();
    QVERIFY(wide >= 8 * MiB);

    // The owner stalls: each answer takes longer than the slow mark.
    qint64 now = 10 * UsPerSecond;
    window.answered(MiB, ReadWindow::SlowAnswerUs + 1, now);
    QCOMPARE(window.bytes(), wide / 2);
    for (int i = 0; i < 40; ++i)
        window.answered(MiB, ReadWindow::SlowAnswerUs + 1, now += ReadWindow::SlowAnswerUs);
    QCOMPARE(window.bytes(), ReadWindow::FirstBytes);

    // Quick again: it grows back, within its bound.
    runLink(window, 60.0 * MiB, 100000, MiB, 10, now);
    QVERIFY(window.bytes() >= 8 * MiB);
    QVERIFY(window.bytes() <= ReadWindow::MaxBytes);
}

void tst_ReadWindow::startsSmallAndOverAfterReset()
{
    ReadWindow window;
    QCOMPARE(window.bytes(), ReadWindow::FirstBytes);
    // A few reads always go, however large; more only within the window.
    QVERIFY(window.admits(0, 4 * MiB));
    QVERIFY(window.admits(3 * 4 * MiB, 4 * MiB));
    QVERIFY(!window.admits(4 * 4 * MiB, 4 * MiB));
    QVERIFY(window.admits(500 * KiB, 12 * KiB));
    QVERIFY(!window.admits(500 * KiB, 13 * KiB));

    runLink(window, 60.0 * MiB, 100000, MiB, 5);
    QVERIFY(window.bytes() > ReadWindow::FirstBytes);
    window.reset();
    QCOMPARE(window.bytes(), ReadWindow::FirstBytes);
}

WIVORA_TEST_GUILESS_MAIN(tst_ReadWindow)
#include "tst_ReadWindow.moc"
