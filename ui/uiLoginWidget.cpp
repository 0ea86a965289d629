#include "uiLoginWidget.h"

#include "MainClass.h"
#include "RememberedPassword.h"
#include "ServiceSettings.h"

#include <ExternalLinks.h>
#include <PSettings.h>

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString RememberKey = QStringLiteral("settings/rememberMe");
const QString UserKey = QStringLiteral("settings/username");

QLabel *pictureLabel(const QString &resource, const QString &objectName, int size)
{
    auto *label = new QLabel;
    label->setObjectName(objectName);
    label->setPixmap(QPixmap(resource).scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

uiLoginWidget::uiLoginWidget(QWidget *parent)
    : QWidget(parent)
    , m_loginFrame(new QFrame)
    , m_busyFrame(new QFrame)
    , m_userEdit(new QLineEdit)
    , m_passwordEdit(new QLineEdit)
    , m_rememberBox(new QCheckBox(tr("Remember me")))
    , m_cancelButton(new QPushButton(tr("Cancel")))
    , m_errorLabel(new QLabel)
{
    setObjectName(QStringLiteral("uiLoginWidgetClass"));
    setWindowTitle(QStringLiteral("uiLoginWidget"));
    resize(478, 337);

    m_loginFrame->setObjectName(QStringLiteral("loginframe"));
    m_loginFrame->setMinimumSize(300, 200);
    m_loginFrame->setFrameShape(QFrame::StyledPanel);
    m_userEdit->setObjectName(QStringLiteral("lineEdit"));
    m_passwordEdit->setObjectName(QStringLiteral("lineEdit_2"));
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_rememberBox->setObjectName(QStringLiteral("checkBox"));
    auto *loginButton = new QPushButton(tr("Login"));
    loginButton->setObjectName(QStringLiteral("pushButton"));
    loginButton->setDefault(true);
    auto *lostButton = new QPushButton(tr("Lost password"));
    lostButton->setObjectName(QStringLiteral("pushButton_2"));
    auto *createButton = new QPushButton(tr("Create account"));
    createButton->setObjectName(QStringLiteral("pushButton_3"));

    auto *userLabel = new QLabel(tr("Username"));
    userLabel->setObjectName(QStringLiteral("label"));
    userLabel->setBuddy(m_userEdit);
    auto *passwordLabel = new QLabel(tr("Password"));
    passwordLabel->setObjectName(QStringLiteral("label_2"));
    passwordLabel->setBuddy(m_passwordEdit);

    auto *form = new QGridLayout(m_loginFrame);
    form->setContentsMargins(16, 8, 16, 12);
    form->addWidget(pictureLabel(QStringLiteral(":/Wivora/Resources/wivora250.png"), QStringLiteral("label_4"), 60),
                    0, 0, 1, 2);
    form->addWidget(userLabel, 1, 0);
    form->addWidget(m_userEdit, 1, 1);
    form->addWidget(passwordLabel, 2, 0);
    form->addWidget(m_passwordEdit, 2, 1);
    form->addWidget(m_rememberBox, 3, 1);
    form->addWidget(loginButton, 4, 1);
    m_errorLabel->setObjectName(QStringLiteral("refusalLabel"));
    // May carry the server's words: never read as markup.
    m_errorLabel->setTextFormat(Qt::PlainText);
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setStyleSheet(QStringLiteral("color: #b00020;"));
    m_errorLabel->hide();
    form->addWidget(m_errorLabel, 5, 0, 1, 2);
    auto *links = new QHBoxLayout;
    links->addWidget(lostButton);
    links->addWidget(createButton);
    form->addLayout(links, 6, 0, 1, 2);

    m_busyFrame->setObjectName(QStringLiteral("frame_2"));
    m_busyFrame->setMinimumHeight(90);
    auto *busyLayout = new QVBoxLayout(m_busyFrame);
    busyLayout->addWidget(pictureLabel(QStringLiteral(":/Wivora/Resources/rotate.png"), QStringLiteral("label_3"), 48));
    m_cancelButton->setObjectName(QStringLiteral("cancelLoginButton"));
    busyLayout->addWidget(m_cancelButton, 0, Qt::AlignHCenter);

    // Four stretches keep the form in the middle of the page.
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setRowStretch(0, 1);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(2, 1);
    grid->addWidget(m_loginFrame, 1, 1);
    grid->addWidget(m_busyFrame, 2, 1);
    m_busyFrame->hide();

    m_rememberBox->setChecked(PSettings::GetValue(RememberKey).toBool());
    m_userEdit->setText(PSettings::GetValue(UserKey).toString());

    connect(loginButton, &QPushButton::clicked, this, &uiLoginWidget::on_pushButton_clicked);
    connect(lostButton, &QPushButton::clicked, this, &uiLoginWidget::on_pushButton_2_clicked);
    connect(createButton, &QPushButton::clicked, this, &uiLoginWidget::on_pushButton_3_clicked);
    connect(m_rememberBox, &QCheckBox::stateChanged, this, &uiLoginWidget::on_checkBox_stateChanged);
    connect(m_cancelButton, &QPushButton::clicked, this, &uiLoginWidget::cancelLogin);
    connect(m_userEdit, &QLineEdit::returnPressed, this, &uiLoginWidget::on_pushButton_clicked);
    connect(m_passwordEdit, &QLineEdit::returnPressed, this, &uiLoginWidget::on_pushButton_clicked);
}

uiLoginWidget::~uiLoginWidget() = default;

void uiLoginWidget::on_pushButton_clicked()
{
    const QString user = m_userEdit->text();
    const QString password = m_passwordEdit->text();
    if (user.isEmpty() || password.isEmpty() || m_loginRunning)
        return;
    const bool remember = m_rememberBox->isChecked();
    if (!remember)
        RememberedPassword::erase();
    if (doLogin(user, password) && remember) {
        // The keyring is keyed by the name: the old entry goes first.
        RememberedPassword::store(user, password);
        PSettings::SetValue(UserKey, user);
    }
    emit signalLoginEnded();
}

void uiLoginWidget::autoLogin()
{
    if (m_loginRunning) {
        // Already logging in (or reading the keyring): this call does nothing more.
        emit signalUserLoginFailed();
        emit signalLoginEnded();
        return;
    }
    const QString user = PSettings::GetValue(UserKey).toString();
    QString password;
    if (PSettings::GetValue(RememberKey).toBool() && !user.isEmpty()) {
        // The keyring may keep events flowing: no second login meanwhile.
        m_loginRunning = true;
        password = RememberedPassword::read(user);
        m_loginRunning = false;
    }
    const bool tried = !password.isEmpty();
    const bool loggedIn = tried && doLogin(user, password);
    // A password changed elsewhere: the stale one is not tried again.
    if (tried && !loggedIn && MainClass::instance()->loginFailure() == MainClass::LoginFailure::WrongPassword)
        RememberedPassword::erase();
    if (!loggedIn)
        emit signalUserLoginFailed();
    emit signalLoginEnded();
}

void uiLoginWidget::clearPasswordUnlessRemembered()
{
    if (!m_rememberBox->isChecked())
        m_passwordEdit->clear();
}

bool uiLoginWidget::doLogin(const QString &user, const QString &password)
{
    if (user.isEmpty() || password.isEmpty())
        return false;
    m_loginRunning = true;
    showError(QString());
    showBusy(true);
    // Blocks with events flowing: the window may be asked to quit, or the
    // user may cancel, meanwhile.
    const bool loggedIn = MainClass::instance()->login(user, password);
    if (loggedIn)
        emit signalUserLoggedIn();
    else
        showFailure();
    showBusy(false);
    m_loginRunning = false;
    return loggedIn;
}

void uiLoginWidget::showBusy(bool busy)
{
    m_loginFrame->setVisible(!busy);
    m_busyFrame->setVisible(busy);
    if (busy)
        m_cancelButton->setFocus(); // so that Escape reaches the form
}

void uiLoginWidget::cancelLogin()
{
    if (m_loginRunning)
        MainClass::instance()->cancelLogin();
}

void uiLoginWidget::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && m_loginRunning) {
        cancelLogin();
        return;
    }
    QWidget::keyPressEvent(event);
}

void uiLoginWidget::showFailure()
{
    const MainClass *session = MainClass::instance();
    switch (session->loginFailure()) {
    case MainClass::LoginFailure::WrongPassword:
        showError(tr("Wrong user name or password."));
        break;
    case MainClass::LoginFailure::Refused:
        showError(tr("The server refused the login: %1").arg(session->loginRefusal()));
        break;
    case MainClass::LoginFailure::Unreachable:
        showError(tr("The service cannot be reached. Check your network connection and try again."));
        break;
    case MainClass::LoginFailure::NoAnswer:
        showError(tr("The service did not answer. Try again in a moment."));
        break;
    case MainClass::LoginFailure::AccountUnreadable:
        showError(tr("Your account could not be opened. Try again in a moment."));
        break;
    case MainClass::LoginFailure::None:
    case MainClass::LoginFailure::Cancelled:
        showError(QString());
        break;
    }
}

void uiLoginWidget::showError(const QString &text)
{
    m_errorLabel->setText(text);
    m_errorLabel->setVisible(!text.isEmpty());
}

void uiLoginWidget::on_pushButton_2_clicked()
{
    ExternalLinks::open(QUrl(ServiceSettings::accountSite() + QStringLiteral("/pages/lostpassword.aspx")));
}

void uiLoginWidget::on_pushButton_3_clicked()
{
    ExternalLinks::open(QUrl(ServiceSettings::accountSite() + QStringLiteral("/")));
}

void uiLoginWidget::on_checkBox_stateChanged(int state)
{
    if (state == Qt::Unchecked)
        PSettings::SetValue(RememberKey, false);
    else if (state == Qt::Checked)
        PSettings::SetValue(RememberKey, true);
}
