// A file published on the web, fetched as people fetch it: bob publishes it
// with a password from the program's window; a real browser (chromium,
// headless) opens the link, is shown the password page, is refused with a
// wrong password and downloads the file with the right one, byte for byte;
// curl does the same from the command line. Skipped when no chromium is
// installed (Debian: apt-get install chromium).

#include "QtTestSuite.h"
#include "WindowFixture.h"
#include "WindowProbeClient.h"
#include "WindowedClient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Bob = QStringLiteral("bob");
const QString Password = QStringLiteral("open sesame");
constexpr int BrowserTimeoutMs = 120000;

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Chromium without a screen, in a profile of its own that saves downloads
// into a folder of the test's without asking.
class HeadlessBrowser
{
public:
    static QString program() { return QStandardPaths::findExecutable(QStringLiteral("chromium")); }

    bool prepare()
    {
        const QString preferences = m_profile.filePath(QStringLiteral("Default/Preferences"));
        QDir().mkpath(QFileInfo(preferences).path());
        QDir().mkpath(downloads());
        QFile file(preferences);
        return file.open(QIODevice::WriteOnly)
            && file.write(QStringLiteral("{\"download\":{\"default_directory\":\"%1\",\"prompt_for_download\":false}}")
                              .arg(downloads())
                              .toUtf8())
            > 0;
    }

    QString downloads() const { return m_profile.filePath(QStringLiteral("downloads")); }
    // What the browser said on its error output, for a failure's message.
    QString log() const { return QString::fromUtf8(fileBytes(m_profile.filePath(QStringLiteral("browser.log")))); }

    // The document the browser shows once `url` and what it leads to have
    // loaded. The browser may linger after printing it: it is ended then.
    QString documentAt(const QUrl &url) { return run(url, [](const QByteArray &out) { return out.contains("</html>"); }); }

    // Opens `url` and waits until the browser has saved `name` among its
    // downloads; returns its bytes.
    QByteArray download(const QUrl &url, const QString &name)
    {
        const QString saved = QDir(downloads()).filePath(name);
        // A download is written under another name and renamed when whole.
        run(url, [&](const QByteArray &) { return QFile::exists(saved); });
        return fileBytes(saved);
    }

private:
    QString run(const QUrl &url, const std::function<bool(const QByteArray &)> &done)
    {
        QProcess browser;
        browser.setProcessChannelMode(QProcess::SeparateChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), m_profile.path());
        browser.setProcessEnvironment(environment);
        browser.setStandardErrorFile(m_profile.filePath(QStringLiteral("browser.log")), QIODevice::Append);
        browser.start(program(), {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                                  QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                                  QStringLiteral("--user-data-dir=") + m_profile.path(),
                                  QStringLiteral("--virtual-time-budget=10000"), QStringLiteral("--dump-dom"),
                                  url.toString()});
        QByteArray out;
        const QDeadlineTimer deadline(BrowserTimeoutMs);
        while (!done(out) && !deadline.hasExpired() && browser.state() != QProcess::NotRunning) {
            browser.waitForReadyRead(200);
            out += browser.readAllStandardOutput();
        }
        out += browser.readAllStandardOutput();
        if (browser.state() != QProcess::NotRunning) {
            browser.terminate();
            if (!browser.waitForFinished(10000))
                browser.kill();
            browser.waitForFinished(10000);
        }
        return QString::fromUtf8(out);
    }

    // Under /tmp: the browser's socket path must stay short, and the
    // test's own temporary folder is deep in the build tree.
    QTemporaryDir m_profile{QStringLiteral("/tmp/wivora-browser-XXXXXX")};
};

} // namespace

class tst_WebFileInBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passwordPage();
    void wrongPasswordIsRefused();
    void rightPasswordDownloadsTheFile();
    void curlDownloadsTheSameBytes();
    void cleanupTestCase();

private:
    // A page of the test's own whose form posts `password` to the link, as
    // the password page's form would when a person submits it.
    QUrl formPosting(const QString &password)
    {
        const QString path = m_files.filePath(QStringLiteral("post-%1.html").arg(++m_forms));
        QFile page(path);
        if (!page.open(QIODevice::WriteOnly))
            return QUrl();
        page.write(QStringLiteral("<html><body><form method=\"post\" action=\"%1\">"
                                  "<input type=\"password\" name=\"password\" value=\"%2\"></form>"
                                  "<script>document.forms[0].submit()</script></body></html>")
                       .arg(m_link.toString(), password.toHtmlEscaped())
                       .toUtf8());
        return QUrl::fromLocalFile(path);
    }

    WindowFixture m_fixture;
    WindowedClient m_bob;
    HeadlessBrowser m_browser;
    QTemporaryDir m_files;
    QString m_published;
    QUrl m_link;
    int m_forms = 0;
};

void tst_WebFileInBrowser::initTestCase()
{
    if (HeadlessBrowser::program().isEmpty())
        QSKIP("chromium is not installed (Debian: apt-get install chromium): the browser is not tried");
    QVERIFY(m_browser.prepare());
    // Not a multiple of any block size, and every byte value.
    m_published = m_files.filePath(QStringLiteral("report 2026.bin"));
    QByteArray content;
    for (int i = 0; i < 300 * 1000 + 17; ++i)
        content.append(char((quint32(i) * 7919u) >> 3));
    QFile file(m_published);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();

    QVERIFY2(m_fixture.start({Bob}), qPrintable(m_fixture.sessions.server.errorText()));
    m_bob.setMachineSettings(m_fixture.serviceSettings());
    QVERIFY(m_bob.installPlugin(WindowFixture::probePlugin()));
    QVERIFY(m_bob.installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));
    m_bob.rememberLogin(Bob, WindowFixture::passwordOf(Bob));
    QVERIFY2(m_bob.start(), qPrintable(m_bob.diagnostics()));

    WindowProbeClient bob(m_bob);
    QCOMPARE(bob.ask(QStringLiteral("tab wftpMainPage/tabWidget 2")), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("drop wftpMainPage/webSharedFiles/treeWidget ") + m_published), QStringLiteral("ok"));
    QCOMPARE(bob.waitFor(QStringLiteral("modal"), [](const QString &modal) { return modal == QLatin1String("QWizard"); }),
             QStringLiteral("QWizard"));
    QCOMPARE(bob.ask(QStringLiteral("text modal/lineEdit ") + Password), QStringLiteral("ok"));
    QCOMPARE(bob.ask(QStringLiteral("wizard finish")), QStringLiteral("ok"));
    QCOMPARE(bob.waitFor(QStringLiteral("modal"),
                         [](const QString &modal) { return modal == QLatin1String("uiLinksDisplay"); }),
             QStringLiteral("uiLinksDisplay"));
    m_link = QUrl(bob.ask(QStringLiteral("read modal/textEdit")).trimmed());
    QVERIFY2(m_link.toString().startsWith(m_fixture.site() + QStringLiteral("/webfiles/bob/")),
             qPrintable(m_link.toString()));
    QCOMPARE(bob.ask(QStringLiteral("click modal/pushButton_2")), QStringLiteral("ok"));
}

void tst_WebFileInBrowser::passwordPage()
{
    const QString page = m_browser.documentAt(m_link);
    QVERIFY2(page.contains(QStringLiteral("report 2026.bin")), qPrintable(page + m_browser.log()));
    QVERIFY2(page.contains(QStringLiteral("protected by a password")), qPrintable(page));
    QVERIFY2(page.contains(QStringLiteral("type=\"password\"")), qPrintable(page));
    QVERIFY(!page.contains(QStringLiteral("not correct")));
}

void tst_WebFileInBrowser::wrongPasswordIsRefused()
{
    const QString page = m_browser.documentAt(formPosting(QStringLiteral("open sesame!")));
    QVERIFY2(page.contains(QStringLiteral("The password is not correct.")), qPrintable(page));
    QVERIFY(QDir(m_browser.downloads()).entryList(QDir::Files).isEmpty());
}

void tst_WebFileInBrowser::rightPasswordDownloadsTheFile()
{
    const QByteArray downloaded = m_browser.download(formPosting(Password), QStringLiteral("report 2026.bin"));
    QCOMPARE(downloaded.size(), fileBytes(m_published).size());
    QVERIFY(downloaded == fileBytes(m_published));
}

void tst_WebFileInBrowser::curlDownloadsTheSameBytes()
{
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        QSKIP("curl is not installed");
    const QString target = m_files.filePath(QStringLiteral("by-curl.bin"));
    const auto fetch = [&](const QString &password) {
        QProcess process;
        process.start(curl, {QStringLiteral("--silent"), QStringLiteral("--output"), target,
                             QStringLiteral("--write-out"), QStringLiteral("%{http_code}"),
                             QStringLiteral("--data-urlencode"), QStringLiteral("password=") + password,
                             m_link.toString()});
        return process.waitForFinished(BrowserTimeoutMs) ? QString::fromLatin1(process.readAllStandardOutput())
                                                        : QStringLiteral("no answer");
    };
    QCOMPARE(fetch(QStringLiteral("sesame")), QStringLiteral("403"));
    QCOMPARE(fetch(Password), QStringLiteral("200"));
    QVERIFY(fileBytes(target) == fileBytes(m_published));
}

void tst_WebFileInBrowser::cleanupTestCase()
{
    if (m_bob.isRunning())
        QVERIFY2(m_bob.stop(), qPrintable(m_bob.diagnostics()));
}

WIVORA_TEST_MAIN(tst_WebFileInBrowser)
#include "tst_WebFileInBrowser.moc"
