#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "Personal data": edits the own vCard (full name, gender, city, country,
// e-mail, avatar). OK stores it in the account, saves the account, sends it
// to the server and tells every connected user that it changed.
class uiPersonalize : public QDialog
{
    Q_OBJECT

public:
    // A picked picture is stored at most this size (the server refuses big vCards).
    static constexpr int AvatarSize = 140;

    explicit uiPersonalize(QWidget *parent = nullptr);

public slots:
    // Takes the picture as if picked with "browse ...": shows it and keeps
    // it for OK; false when none could be read from path.
    bool pickPicture(const QString &path);

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();

private:
    void buildForm();
    void loadVCard();
    void showPicture(const QImage &image);

    QByteArray m_pickedAvatar;
    QString m_pickedPath;
    QLineEdit *m_avatarPath = nullptr;
    QLabel *m_picture = nullptr;
    QLineEdit *m_fullName = nullptr;
    QComboBox *m_gender = nullptr;
    QLineEdit *m_city = nullptr;
    QComboBox *m_country = nullptr;
    QLineEdit *m_email = nullptr;
    QPushButton *m_ok = nullptr;
    QPushButton *m_cancel = nullptr;
};
