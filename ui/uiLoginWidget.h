#pragma once

#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// The login form: user name, password, "Remember me", and links to the
// account site. It logs in through the session controller; while the call
// runs, a busy frame takes the form's place.
//
// Remembered values live in the machine settings: "settings/rememberMe",
// "settings/username" and "settings/password". They are written only after a
// successful login; a login with "Remember me" off erases the password (the
// name stays, so the next start fills it in without logging in).
class uiLoginWidget : public QWidget
{
    Q_OBJECT

public:
    explicit uiLoginWidget(QWidget *parent = nullptr);
    ~uiLoginWidget() override;

    bool isLoginRunning() const { return m_loginRunning; }

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

private:
    bool doLogin(const QString &user, const QString &password);
    void showBusy(bool busy);
    // The server's reason for refusing the login, if it gave one.
    void showRefusal(const QString &refusal);

    QFrame *m_loginFrame;
    QFrame *m_busyFrame;
    QLineEdit *m_userEdit;
    QLineEdit *m_passwordEdit;
    QCheckBox *m_rememberBox;
    QLabel *m_refusalLabel;
    bool m_loginRunning = false;
};
