#pragma once

#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QKeyEvent;
class QPushButton;

// The login form: user name, password, "Remember me", and links to the
// account site. It logs in through the session controller; while the call
// runs, a busy frame with a Cancel button (Escape too) takes the form's
// place. A failed login says why under the form.
//
// Remembered values: "settings/rememberMe" and "settings/username" in the
// machine settings, the password in RememberedPassword. They are written
// only after a successful login; a login with "Remember me" off erases the
// password (the name stays, so the next start fills it in without logging
// in), and so does an automatic login the server refuses as a wrong password.
class uiLoginWidget : public QWidget
{
    Q_OBJECT

public:
    explicit uiLoginWidget(QWidget *parent = nullptr);
    ~uiLoginWidget() override;

    bool isLoginRunning() const { return m_loginRunning; }
    // After a logout: the next person at the machine must not log in with
    // the typed password, unless the user asked to be remembered.
    void clearPasswordUnlessRemembered();

signals:
    void signalUserLoggedIn();
    // Only from autoLogin: nothing to log in with, or the login failed.
    void signalUserLoginFailed();
    // Every login attempt ends with this, after the signals above.
    void signalLoginEnded();

public slots:
    // Logs in with the remembered values when "Remember me" is on.
    void autoLogin();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_checkBox_stateChanged(int state);
    void cancelLogin();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool doLogin(const QString &user, const QString &password);
    void showBusy(bool busy);
    // Why the last login failed, in words for the user; nothing when it
    // succeeded or was cancelled.
    void showFailure();
    void showError(const QString &text);

    QFrame *m_loginFrame;
    QFrame *m_busyFrame;
    QLineEdit *m_userEdit;
    QLineEdit *m_passwordEdit;
    QCheckBox *m_rememberBox;
    QPushButton *m_cancelButton;
    QLabel *m_errorLabel;
    bool m_loginRunning = false;
};
