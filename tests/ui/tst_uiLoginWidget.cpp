// The login form against a real wivora-server: what it shows from the
// remembered values, the busy frame during the login, what it remembers
// afterwards and where, what a failed login says, cancelling a login that
// waits, the automatic login and the account-site links.

#include "QtTestSuite.h"
#include "InputDuringWaits.h"
#include "MainClass.h"
#include "RememberedPassword.h"
#include "UrlCatcher.h"
#include "WindowFixture.h"
#include "uiLoginWidget.h"

#include <PSettings.h>

#include "FileMode.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Carol = QStringLiteral("carol"); // her password is guessed at
const QString RememberKey = QStringLiteral("settings/rememberMe");
const QString UserKey = QStringLiteral("settings/username");
const QString LegacyPasswordKey = QStringLiteral("settings/password");
const QString PortKey = QStringLiteral("service/port");

void remember(bool on, const QString &user, const QString &password)
{
    PSettings::SetValue(RememberKey, on);
    PSettings::SetValue(UserKey, user);
    RememberedPassword::erase();
    if (!password.isEmpty())
        RememberedPassword::store(user, password);
}

bool saveScreenshot(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    // As the user sees it: after the layouts took what changed.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    return widget->grab().save(QStringLiteral(SCREENSHOT_FOLDER "/login-") + name + QStringLiteral(".png"));
}

// Points the client at another port for the life of this object.
class ServicePortOverride
{
public:
    explicit ServicePortOverride(quint16 port)
        : m_saved(PSettings::GetValue(PortKey))
    {
        PSettings::SetValue(PortKey, QString::number(port));
    }
    ~ServicePortOverride() { PSettings::SetValue(PortKey, m_saved); }

private:
    QVariant m_saved;
};

// A port nothing listens on: connections to it are refused at once.
quint16 closedPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : quint16(0);
}

// Records how the busy frame was shown: whether the form was visible then.
class BusyFrameWatch : public QObject
{
public:
    BusyFrameWatch(QWidget *busyFrame, QWidget *form)
        : m_form(form)
    {
        busyFrame->installEventFilter(this);
    }
    bool shown = false;
    bool formVisibleWhenShown = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            shown = true;
            formVisibleWhenShown = formVisibleWhenShown || m_form->isVisible();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *m_form;
};

} // namespace

class tst_uiLoginWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, Carol}), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        MainClass::instance();
    }
    void cleanup()
    {
        if (MainClass::instance()->isLoggedIn())
            MainClass::instance()->logout();
    }

    void showsRememberedValues_data()
    {
        QTest::addColumn<bool>("rememberMe");
        QTest::addColumn<QString>("storedUser");

        QTest::newRow("remembered") << true << Alice;
        QTest::newRow("not remembered, name kept") << false << Alice;
        QTest::newRow("nothing stored") << false << QString();
    }
    void showsRememberedValues()
    {
        QFETCH(bool, rememberMe);
        QFETCH(QString, storedUser);
        remember(rememberMe, storedUser, QStringLiteral("stored-secret"));
        uiLoginWidget form;
        form.show();
        QCOMPARE(form.findChild<QCheckBox *>(QStringLiteral("checkBox"))->isChecked(), rememberMe);
        QCOMPARE(form.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->text(), storedUser);
        // The password is never shown, not even as dots.
        QVERIFY(form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->text().isEmpty());
        QVERIFY(form.findChild<QFrame *>(QStringLiteral("loginframe"))->isVisible());
        QVERIFY(!form.findChild<QFrame *>(QStringLiteral("frame_2"))->isVisible());
    }

    void emptyFieldDoesNothing_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("no password") << Alice << QString();
        QTest::newRow("no name") << QString() << WindowFixture::passwordOf(Alice);
        QTest::newRow("neither") << QString() << QString();
    }
    void emptyFieldDoesNothing()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        remember(false, QString(), QString());
        uiLoginWidget form;
        QSignalSpy ended(&form, &uiLoginWidget::signalLoginEnded);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(user);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(password);
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
        QCOMPARE(ended.count(), 0);
        QVERIFY(!MainClass::instance()->isLoggedIn());
    }

    // The busy frame replaces the form while the login runs; the outcome
    // decides what is remembered.
    void loginAndRemember_data()
    {
        QTest::addColumn<bool>("rememberBox");
        QTest::addColumn<bool>("rightPassword");
        QTest::addColumn<QString>("storedPasswordAfter");
        QTest::addColumn<QString>("storedUserAfter");

        const QString right = WindowFixture::passwordOf(Alice);
        const QString old = QStringLiteral("old-remembered");
        QTest::newRow("remember, success: the new values") << true << true << right << Alice;
        QTest::newRow("remember, failure: the old values") << true << false << old << QStringLiteral("someone");
        QTest::newRow("forget, success: password erased") << false << true << QString() << QStringLiteral("someone");
        QTest::newRow("forget, failure: password erased") << false << false << QString() << QStringLiteral("someone");
    }
    void loginAndRemember()
    {
        QFETCH(bool, rememberBox);
        QFETCH(bool, rightPassword);
        QFETCH(QString, storedPasswordAfter);
        QFETCH(QString, storedUserAfter);
        remember(rememberBox, QStringLiteral("someone"), QStringLiteral("old-remembered"));
        uiLoginWidget form;
        form.show();
        auto *loginFrame = form.findChild<QFrame *>(QStringLiteral("loginframe"));
        auto *busyFrame = form.findChild<QFrame *>(QStringLiteral("frame_2"));
        QSignalSpy loggedIn(&form, &uiLoginWidget::signalUserLoggedIn);
        QSignalSpy failed(&form, &uiLoginWidget::signalUserLoginFailed);
        const QString typedPassword = rightPassword ? WindowFixture::passwordOf(Alice) : QStringLiteral("wrong");
        auto *userEdit = form.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
        auto *passwordEdit = form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
        userEdit->setText(Alice);
        passwordEdit->setText(typedPassword);

        BusyFrameWatch watch(busyFrame, loginFrame);
        QTest::keyClick(passwordEdit, Qt::Key_Return);

        QVERIFY(watch.shown);
        QVERIFY(!watch.formVisibleWhenShown);
        QVERIFY(loginFrame->isVisible());
        QVERIFY(!busyFrame->isVisible());
        QCOMPARE(MainClass::instance()->isLoggedIn(), rightPassword);
        QCOMPARE(loggedIn.count(), rightPassword ? 1 : 0);
        // A login from the form reports no failure signal: the form stays.
        QCOMPARE(failed.count(), 0);
        QCOMPARE(userEdit->text(), Alice);
        QCOMPARE(passwordEdit->text(), typedPassword);
        QCOMPARE(RememberedPassword::read(storedUserAfter), storedPasswordAfter);
        QCOMPARE(PSettings::GetValue(UserKey).toString(), storedUserAfter);
        // The settings file never holds a password.
        QVERIFY(PSettings::GetValue(LegacyPasswordKey).isNull());
        if (!storedPasswordAfter.isEmpty() && QFile::exists(RememberedPassword::filePath()))
            QCOMPARE(modeOf(RememberedPassword::filePath()), 0600);
    }

    void throttledLoginSaysWhyAndHowLong()
    {
        remember(false, QString(), QString());
        uiLoginWidget form;
        form.show();
        auto *refusal = form.findChild<QLabel *>(QStringLiteral("refusalLabel"));
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(Carol);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(QStringLiteral("wrong"));
        auto *loginButton = form.findChild<QPushButton *>(QStringLiteral("pushButton"));
        // A wrong password says so, until the server throttles the guesses
        // and says why and for how long.
        int plainFailures = 0;
        for (; plainFailures < 20; ++plainFailures) {
            QTest::mouseClick(loginButton, Qt::LeftButton);
            QVERIFY(refusal->isVisible());
            if (refusal->text() != QStringLiteral("Wrong user name or password."))
                break;
        }
        QVERIFY(plainFailures > 0);
        QVERIFY2(refusal->text().contains(QRegularExpression(QStringLiteral("too many failed logins: try again in \\d+ s"))),
                 qPrintable(refusal->text()));
        QVERIFY(!MainClass::instance()->isLoggedIn());
    }

    // Each way a login can fail says so under the form, which comes back
    // with what was typed.
    void failureSaysWhy_data()
    {
        QTest::addColumn<QString>("service"); // "real", "closed" or "silent"
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("failure");

        QTest::newRow("wrong-password") << "real" << "wrong" << "Wrong user name or password."
                                        << int(MainClass::LoginFailure::WrongPassword);
        QTest::newRow("unreachable") << "closed" << WindowFixture::passwordOf(Alice)
                                     << "The service cannot be reached. Check your network connection and try again."
                                     << int(MainClass::LoginFailure::Unreachable);
        QTest::newRow("no-answer") << "silent" << WindowFixture::passwordOf(Alice)
                                   << "The service did not answer. Try again in a moment."
                                   << int(MainClass::LoginFailure::NoAnswer);
    }
    void failureSaysWhy()
    {
        QFETCH(QString, service);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(int, failure);
        remember(false, QString(), QString());
        // A service that takes the link and never answers: the connection
        // waits in its backlog.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        std::unique_ptr<ServicePortOverride> port;
        if (service == QLatin1String("closed"))
            port.reset(new ServicePortOverride(closedPort()));
        else if (service == QLatin1String("silent"))
            port.reset(new ServicePortOverride(silent.serverPort()));
        // Only the silent service uses up the wait; a real one on a loaded
        // machine may take longer than the short wait to finish its handshake.
        if (service == QLatin1String("silent"))
            qputenv("WIVORA_LOGIN_CONNECT_TIMEOUT_MS", "2000");

        uiLoginWidget form;
        form.resize(478, 337);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto *userEdit = form.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
        auto *passwordEdit = form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
        auto *error = form.findChild<QLabel *>(QStringLiteral("refusalLabel"));
        QTest::keyClicks(userEdit, Alice);
        QTest::keyClicks(passwordEdit, password);
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
        qunsetenv("WIVORA_LOGIN_CONNECT_TIMEOUT_MS");

        QCOMPARE(int(MainClass::instance()->loginFailure()), failure);
        QVERIFY(!MainClass::instance()->isLoggedIn());
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), message);
        QVERIFY(form.findChild<QFrame *>(QStringLiteral("loginframe"))->isVisible());
        QCOMPARE(userEdit->text(), Alice);
        // The whole message shows, none of its lines cut.
        QTRY_VERIFY(error->height() >= error->heightForWidth(error->width()));
        QVERIFY(saveScreenshot(&form, QString::fromLatin1(QTest::currentDataTag())));

        // The next attempt starts without the old message.
        port.reset();
        passwordEdit->setText(WindowFixture::passwordOf(Alice));
        QTest::keyClick(passwordEdit, Qt::Key_Return);
        QVERIFY(MainClass::instance()->isLoggedIn());
        QVERIFY(!error->isVisible());
    }

    // A login that waits on a silent service ends at Cancel or Escape: no
    // session, no error, the form back to try again.
    void cancelWhileWaiting_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("cancel button") << false;
        QTest::newRow("escape key") << true;
    }
    void cancelWhileWaiting()
    {
        QFETCH(bool, escape);
        remember(false, QString(), QString());
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        ServicePortOverride port(silent.serverPort());
        // Far longer than any run of this test: only the cancel ends it.
        qputenv("WIVORA_LOGIN_CONNECT_TIMEOUT_MS", "600000");

        uiLoginWidget form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto *busyFrame = form.findChild<QFrame *>(QStringLiteral("frame_2"));
        auto *cancel = form.findChild<QPushButton *>(QStringLiteral("cancelLoginButton"));
        QVERIFY(cancel);
        QVERIFY(!cancel->isVisible());
        bool cancelSeen = false;
        // Waits for the busy frame, then presses like a user would.
        QTimer presser;
        connect(&presser, &QTimer::timeout, this, [&] {
            if (!busyFrame->isVisible() || !MainClass::instance()->isLoginRunning())
                return;
            presser.stop();
            cancelSeen = cancel->isVisible();
            if (escape)
                QTest::keyClick(cancel, Qt::Key_Escape);
            else
                QTest::mouseClick(cancel, Qt::LeftButton);
        });
        presser.start(20);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(Alice);
        auto *passwordEdit = form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
        passwordEdit->setText(WindowFixture::passwordOf(Alice));
        QSignalSpy ended(&form, &uiLoginWidget::signalLoginEnded);
        // Pressed from a running event loop, as in the program: the login's
        // waits then keep events flowing, which is what lets Cancel in.
        deliverFromEventLoop([passwordEdit] { QTest::keyClick(passwordEdit, Qt::Key_Return); });
        qunsetenv("WIVORA_LOGIN_CONNECT_TIMEOUT_MS");

        QVERIFY(cancelSeen);
        QCOMPARE(ended.count(), 1);
        QCOMPARE(MainClass::instance()->loginFailure(), MainClass::LoginFailure::Cancelled);
        QVERIFY(!MainClass::instance()->isLoggedIn());
        QVERIFY(!form.findChild<QLabel *>(QStringLiteral("refusalLabel"))->isVisible());
        QVERIFY(form.findChild<QFrame *>(QStringLiteral("loginframe"))->isVisible());
        QVERIFY(!busyFrame->isVisible());
        QVERIFY(!form.isLoginRunning());
    }

    // A password an older version left in the settings file moves to the
    // private store on the first automatic login, which still works.
    void legacyPasswordMovesOut()
    {
        remember(true, Alice, QString());
        PSettings::SetValue(LegacyPasswordKey, WindowFixture::passwordOf(Alice));
        uiLoginWidget form;
        QSignalSpy loggedIn(&form, &uiLoginWidget::signalUserLoggedIn);
        form.autoLogin();
        QCOMPARE(loggedIn.count(), 1);
        QVERIFY(PSettings::GetValue(LegacyPasswordKey).isNull());
        QCOMPARE(RememberedPassword::read(Alice), WindowFixture::passwordOf(Alice));
        QCOMPARE(modeOf(RememberedPassword::filePath()), 0600);
        // Another name does not get alice's password.
        QVERIFY(RememberedPassword::read(Carol).isEmpty());
    }

    // A remembered password the server no longer takes (changed elsewhere)
    // is forgotten, and not tried at every start.
    void staleRememberedPasswordForgotten()
    {
        remember(true, Alice, QStringLiteral("changed-since"));
        uiLoginWidget form;
        QSignalSpy failed(&form, &uiLoginWidget::signalUserLoginFailed);
        form.autoLogin();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(MainClass::instance()->loginFailure(), MainClass::LoginFailure::WrongPassword);
        QVERIFY(RememberedPassword::read(Alice).isEmpty());
        QVERIFY(!QFile::exists(RememberedPassword::filePath()));
    }

    void returnInNameFieldLogsIn()
    {
        remember(false, QString(), QString());
        uiLoginWidget form;
        QSignalSpy loggedIn(&form, &uiLoginWidget::signalUserLoggedIn);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(Alice);
        form.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(WindowFixture::passwordOf(Alice));
        QTest::keyClick(form.findChild<QLineEdit *>(QStringLiteral("lineEdit")), Qt::Key_Return);
        QCOMPARE(loggedIn.count(), 1);
    }

    void checkBoxStoresChoice()
    {
        remember(false, QString(), QString());
        uiLoginWidget form;
        auto *box = form.findChild<QCheckBox *>(QStringLiteral("checkBox"));
        box->setChecked(true);
        QCOMPARE(PSettings::GetValue(RememberKey).toBool(), true);
        box->setChecked(false);
        QCOMPARE(PSettings::GetValue(RememberKey).toBool(), false);
    }

    void autoLogin_data()
    {
        QTest::addColumn<bool>("rememberMe");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("loggedIn");

        const QString right = WindowFixture::passwordOf(Alice);
        QTest::newRow("remembered") << true << Alice << right << true;
        QTest::newRow("remember off") << false << Alice << right << false;
        QTest::newRow("no name") << true << QString() << right << false;
        QTest::newRow("no password") << true << Alice << QString() << false;
        QTest::newRow("wrong password") << true << Alice << QStringLiteral("wrong") << false;
    }
    void autoLogin()
    {
        QFETCH(bool, rememberMe);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, loggedIn);
        remember(rememberMe, user, password);
        uiLoginWidget form;
        QSignalSpy succeeded(&form, &uiLoginWidget::signalUserLoggedIn);
        QSignalSpy failed(&form, &uiLoginWidget::signalUserLoginFailed);
        form.autoLogin();
        QCOMPARE(MainClass::instance()->isLoggedIn(), loggedIn);
        QCOMPARE(succeeded.count(), loggedIn ? 1 : 0);
        QCOMPARE(failed.count(), loggedIn ? 0 : 1);
    }

    void accountSiteLinks_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("path");
        QTest::newRow("lost password") << QStringLiteral("pushButton_2") << QStringLiteral("/pages/lostpassword.aspx");
        QTest::newRow("create account") << QStringLiteral("pushButton_3") << QStringLiteral("/");
    }
    void accountSiteLinks()
    {
        QFETCH(QString, button);
        QFETCH(QString, path);
        UrlCatcher catcher;
        uiLoginWidget form;
        QTest::mouseClick(form.findChild<QPushButton *>(button), Qt::LeftButton);
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(m_fixture.site() + path)});
    }

private:
    WindowFixture m_fixture;
};

WIVORA_TEST_MAIN(tst_uiLoginWidget)
#include "tst_uiLoginWidget.moc"
