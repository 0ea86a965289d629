// The login form against a real wivora-server: what it shows from the
// remembered values, the busy frame during the login, what it remembers
// afterwards, the automatic login and the account-site links.

#include "QtTestSuite.h"
#include "MainClass.h"
#include "UrlCatcher.h"
#include "WindowFixture.h"
#include "uiLoginWidget.h"

#include <PSettings.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Carol = QStringLiteral("carol"); // her password is guessed at
const QString RememberKey = QStringLiteral("settings/rememberMe");
const QString UserKey = QStringLiteral("settings/username");
const QString PasswordKey = QStringLiteral("settings/password");

void remember(bool on, const QString &user, const QString &password)
{
    PSettings::SetValue(RememberKey, on);
    PSettings::SetValue(UserKey, user);
    PSettings::SetValue(PasswordKey, password);
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
        QCOMPARE(PSettings::GetValue(PasswordKey).toString(), storedPasswordAfter);
        QCOMPARE(PSettings::GetValue(UserKey).toString(), storedUserAfter);
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
        // A wrong password is refused silently, until the server throttles
        // the guesses and says so.
        int silentFailures = 0;
        for (; silentFailures < 20; ++silentFailures) {
            QTest::mouseClick(loginButton, Qt::LeftButton);
            if (refusal->isVisible())
                break;
        }
        QVERIFY(silentFailures > 0);
        QVERIFY(refusal->isVisible());
        QVERIFY2(refusal->text().contains(QRegularExpression(QStringLiteral("too many failed logins: try again in \\d+ s"))),
                 qPrintable(refusal->text()));
        QVERIFY(!MainClass::instance()->isLoggedIn());
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
