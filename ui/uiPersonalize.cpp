#include "uiPersonalize.h"

#include "BusyTriggers.h"
#include "MainClass.h"
#include "WCommonOperations.h"
#include "WGraphicsOperations.h"

#include <KvrConfig.h>
#include <PeerPicture.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QBuffer>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

// Nobody logged in, or the session ended while the dialog was open.
QSharedPointer<WivoraAccount> loggedInAccount()
{
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    return account && !account->getUserName().isEmpty() ? account : QSharedPointer<WivoraAccount>();
}

QPushButton *smallButton(const QString &text, const QString &objectName)
{
    auto *button = new QPushButton(text);
    button->setObjectName(objectName);
    button->setMaximumHeight(19);
    return button;
}

QLabel *label(const QString &text, const QString &objectName)
{
    auto *result = new QLabel(text);
    result->setObjectName(objectName);
    return result;
}

} // namespace

uiPersonalize::uiPersonalize(QWidget *parent)
    : QDialog(parent)
{
    buildForm();
    WCommonOperations::fillCountryComboBox(m_country);
    m_country->insertItem(0, tr("Not given"), QString());
    m_country->setCurrentIndex(0);
    loadVCard();
}

void uiPersonalize::buildForm()
{
    setObjectName(QStringLiteral("uiPersonalizeClass"));
    setWindowTitle(tr("Personal data"));
    resize(293, 293);
    setMaximumHeight(293);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));

    auto *basic = new QGroupBox(tr("Basic data"));
    basic->setObjectName(QStringLiteral("groupBox"));
    auto *basicGrid = new QGridLayout(basic);
    basicGrid->setObjectName(QStringLiteral("gridLayout_3"));
    basicGrid->setSpacing(2);
    basicGrid->setContentsMargins(2, 2, 2, 2);
    auto *pictureGrid = new QGridLayout;
    pictureGrid->setObjectName(QStringLiteral("gridLayout_2"));
    m_picture = label(QStringLiteral("TextLabel"), QStringLiteral("label"));
    m_picture->setFixedSize(70, 70);
    pictureGrid->addWidget(m_picture, 0, 0);
    auto *pictureControls = new QGridLayout;
    pictureControls->setObjectName(QStringLiteral("gridLayout_4"));
    pictureControls->addWidget(label(tr("Change avatar"), QStringLiteral("label_2")), 0, 0, 1, 2);
    m_avatarPath = new QLineEdit;
    m_avatarPath->setObjectName(QStringLiteral("lineEdit"));
    pictureControls->addWidget(m_avatarPath, 1, 0);
    QPushButton *browse = smallButton(tr("browse ..."), QStringLiteral("pushButton"));
    pictureControls->addWidget(browse, 1, 1);
    pictureControls->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding), 2, 0);
    pictureGrid->addLayout(pictureControls, 0, 1);
    basicGrid->addLayout(pictureGrid, 0, 0);
    auto *nameGrid = new QGridLayout;
    nameGrid->setObjectName(QStringLiteral("gridLayout_5"));
    m_fullName = new QLineEdit;
    m_fullName->setObjectName(QStringLiteral("lineEdit_2"));
    m_gender = new QComboBox;
    m_gender->setObjectName(QStringLiteral("comboBox"));
    // The stored values stay 0 and 1; "Not given" stores nothing.
    m_gender->addItem(tr("Not given"));
    m_gender->addItem(tr("Male"), 0);
    m_gender->addItem(tr("Female"), 1);
    nameGrid->addWidget(label(tr("Full name"), QStringLiteral("label_3")), 0, 0);
    nameGrid->addWidget(m_fullName, 0, 1);
    nameGrid->addWidget(label(tr("Gender"), QStringLiteral("label_4")), 1, 0);
    nameGrid->addWidget(m_gender, 1, 1);
    basicGrid->addLayout(nameGrid, 1, 0);
    grid->addWidget(basic, 0, 0);

    auto *extended = new QGroupBox(tr("Extended data"));
    extended->setObjectName(QStringLiteral("groupBox_2"));
    extended->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *extendedGrid = new QGridLayout(extended);
    extendedGrid->setObjectName(QStringLiteral("gridLayout_6"));
    extendedGrid->setSpacing(2);
    extendedGrid->setContentsMargins(2, 2, 2, 2);
    auto *form = new QFormLayout;
    form->setObjectName(QStringLiteral("formLayout"));
    m_city = new QLineEdit;
    m_city->setObjectName(QStringLiteral("lineEdit_3"));
    m_country = new QComboBox;
    m_country->setObjectName(QStringLiteral("comboBox_2"));
    m_country->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_email = new QLineEdit;
    m_email->setObjectName(QStringLiteral("lineEdit_4"));
    form->addRow(label(tr("City"), QStringLiteral("label_5")), m_city);
    form->addRow(label(tr("Country"), QStringLiteral("label_6")), m_country);
    form->addRow(label(tr("Email"), QStringLiteral("label_7")), m_email);
    extendedGrid->addLayout(form, 0, 0);
    grid->addWidget(extended, 1, 0);

    auto *buttons = new QGridLayout;
    buttons->setObjectName(QStringLiteral("gridLayout_7"));
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 0);
    QPushButton *cancel = m_cancel = smallButton(tr("Cancel"), QStringLiteral("pushButton_3"));
    QPushButton *ok = m_ok = smallButton(tr("OK"), QStringLiteral("pushButton_2"));
    buttons->addWidget(cancel, 0, 1);
    buttons->addWidget(ok, 0, 2);
    grid->addLayout(buttons, 4, 0);

    connect(browse, &QPushButton::clicked, this, &uiPersonalize::on_pushButton_clicked);
    connect(ok, &QPushButton::clicked, this, &uiPersonalize::on_pushButton_2_clicked);
    connect(cancel, &QPushButton::clicked, this, &uiPersonalize::on_pushButton_3_clicked);
}

void uiPersonalize::showPicture(const QImage &image)
{
    m_picture->setPixmap(QPixmap::fromImage(WGraphicsOperations::getAvatarImage(
        image.scaled(70, 70, Qt::KeepAspectRatio, Qt::SmoothTransformation), 70)));
}

void uiPersonalize::loadVCard()
{
    const QSharedPointer<WivoraAccount> account = loggedInAccount();
    if (!account)
        return;
    const QSharedPointer<WDataStructure> vcard = account->vcardData;
    const QByteArray avatar = vcard->GetValue(QStringLiteral("avatar"));
    // The stored picture comes back from the server: bounded like a contact's.
    const QImage picture = PeerPicture::decode(avatar);
    showPicture(picture.isNull() ? QImage(QStringLiteral(":/Wivora/Resources/blankavatar.jpg")) : picture);
    m_fullName->setText(vcard->gv(QStringLiteral("fullName")));
    // Anything but a known choice shows as not given.
    bool number = false;
    const int gender = vcard->gv(QStringLiteral("gender")).toInt(&number);
    const int genderRow = number ? m_gender->findData(gender) : -1;
    m_gender->setCurrentIndex(genderRow > 0 ? genderRow : 0);
    m_city->setText(vcard->gv(QStringLiteral("city")));
    const QString countryCode = vcard->gv(QStringLiteral("country"));
    const int country = countryCode.isEmpty() ? -1 : m_country->findData(countryCode, Qt::UserRole);
    m_country->setCurrentIndex(country > 0 ? country : 0);
    m_email->setText(vcard->gv(QStringLiteral("email")));
}

void uiPersonalize::on_pushButton_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Images (*.png *.xpm *.jpg)"));
    if (path.isEmpty())
        return;
    m_avatarPath->setText(path);
    pickPicture(path);
}

bool uiPersonalize::pickPicture(const QString &path)
{
    const QImage image =
        QImage(path).scaled(AvatarSize, AvatarSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_pickedPath = path;
    if (!loggedInAccount())
        return false;
    // An unreadable picture keeps the stored avatar.
    m_pickedAvatar.clear();
    if (!image.isNull()) {
        QBuffer png(&m_pickedAvatar);
        png.open(QIODevice::WriteOnly);
        image.save(&png, "PNG");
    }
    showPicture(image);
    return !image.isNull();
}

void uiPersonalize::on_pushButton_2_clicked()
{
    // A path typed rather than browsed to is read now; one that gives no
    // picture is refused, so nothing looks saved that was not.
    const QString typed = m_avatarPath->text().trimmed();
    if (!typed.isEmpty() && typed != m_pickedPath && !pickPicture(typed)) {
        QMessageBox box(QMessageBox::Warning, tr("Change avatar"),
                        tr("No picture could be read from \u201c%1\u201d. Choose a PNG, JPEG or XPM file, or clear "
                           "the field to keep the current avatar.")
                            .arg(typed),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        m_avatarPath->setFocus();
        m_avatarPath->selectAll();
        return;
    }
    // The server is told with events flowing: OK runs once, and Cancel
    // cannot close the dialog under it.
    const BusyTriggers busy{m_ok, m_cancel};
    if (const QSharedPointer<WivoraAccount> account = loggedInAccount()) {
        const QSharedPointer<WDataStructure> vcard = account->vcardData;
        vcard->sv(QStringLiteral("fullName"), m_fullName->text());
        // What the user did not give is not published at all.
        const QVariant gender = m_gender->currentData();
        if (gender.isValid())
            vcard->SetValue(QStringLiteral("gender"), gender.toInt());
        else
            vcard->RemoveKey(QStringLiteral("gender"));
        vcard->sv(QStringLiteral("city"), m_city->text());
        const QString country = m_country->currentData(Qt::UserRole).toString();
        if (!country.isEmpty())
            vcard->sv(QStringLiteral("country"), country);
        else
            vcard->RemoveKey(QStringLiteral("country"));
        vcard->sv(QStringLiteral("email"), m_email->text());
        if (!m_pickedAvatar.isEmpty())
            vcard->SetValue(QStringLiteral("avatar"), m_pickedAvatar);
        WCommonOperations::saveAccount(true);
        MainClass *session = MainClass::instance();
        const QSharedPointer<TcpConnection> link = session->getServerConnection();
        WServerCommands::updateVCard(vcard->SerializeStructure(), link);
        const QStringList users = WServerCommands::GetConnectedUsers(link);
        if (!users.isEmpty()) {
            KvrConfig notice;
            notice.SetID();
            notice.sv(QStringLiteral("command"), QStringLiteral("Local::vcardupdate"));
            notice.sv(QStringLiteral("username"), account->getUserName());
            for (const QString &user : users)
                session->queueExchangeCommand(user, notice);
        }
        session->signalsDispatcher()->personalDataChanged();
    }
    accept();
}

void uiPersonalize::on_pushButton_3_clicked()
{
    reject();
}
