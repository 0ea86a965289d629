// The form of a web-shared file's expiry and password: as the only page of
// the publishing wizard and inside the dialog that changes them later.
#include "QtTestSuite.h"
#include <uiWebFileProperties.h>
#include <uiWebFilePropertiesDialog.h>

#include "ModalAnswer.h"

#include <QDateTimeEdit>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QWizard>
#include <QtTest>

namespace {

bool save(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    const QImage image = widget->grab().toImage();
    return !image.isNull() && image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

QDateTimeEdit *expiryEditor(QWidget *form)
{
    return form->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeEdit"));
}

QLineEdit *passwordEditor(QWidget *form)
{
    return form->findChild<QLineEdit *>(QStringLiteral("lineEdit"));
}

} // namespace

class tst_uiWebFileProperties : public QObject
{
    Q_OBJECT

private slots:
    void wizardOffersADayAndNoPassword_data();
    void wizardOffersADayAndNoPassword();
    void dialogHandsBackOnlyWhatOkTook_data();
    void dialogHandsBackOnlyWhatOkTook();
};

void tst_uiWebFileProperties::wizardOffersADayAndNoPassword_data()
{
    QTest::addColumn<QString>("typedPassword");
    QTest::addColumn<int>("daysMoved"); // 0: the expiry left as offered

    QTest::newRow("finished unchanged") << "" << 0;
    QTest::newRow("password typed, kept with its spaces") << " open sesame " << 0;
    QTest::newRow("expiry in the past taken as it is") << "" << -3;
}

void tst_uiWebFileProperties::wizardOffersADayAndNoPassword()
{
    QFETCH(QString, typedPassword);
    QFETCH(int, daysMoved);

    const QDateTime before = QDateTime::currentDateTime().addDays(1);
    auto *page = new uiWebFileProperties;
    const QDateTime after = QDateTime::currentDateTime().addDays(1);
    QVERIFY(page->validTo.isNull());
    QVERIFY(page->password.isEmpty());
    const QDateTime offered = expiryEditor(page)->dateTime();
    QVERIFY(offered.secsTo(before) <= 0 && offered.secsTo(after) >= 0);
    QVERIFY(passwordEditor(page)->text().isEmpty());
    // Typed where others may look on: dots, never the password.
    QCOMPARE(passwordEditor(page)->echoMode(), QLineEdit::Password);

    QWizard wizard;
    wizard.addPage(page);
    QObject scope;
    bool finishedOnFirstPage = false;
    answerModal<QWizard>(&scope, [&](QWizard *shown) {
        passwordEditor(page)->setText(typedPassword);
        if (daysMoved)
            expiryEditor(page)->setDateTime(offered.addDays(daysMoved));
        // One page, no checks: Finish is there at once.
        finishedOnFirstPage = shown->button(QWizard::FinishButton)->isVisible()
            && shown->button(QWizard::FinishButton)->isEnabled();
        shown->button(QWizard::FinishButton)->click();
    });
    QCOMPARE(wizard.exec(), int(QDialog::Accepted));
    QVERIFY(finishedOnFirstPage);

    page->readValues();
    QCOMPARE(page->password, typedPassword);
    QCOMPARE(page->validTo.toString(Qt::ISODate), offered.addDays(daysMoved).toString(Qt::ISODate));
}

void tst_uiWebFileProperties::dialogHandsBackOnlyWhatOkTook_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("takesEdits");

    QTest::newRow("OK") << "pushButton" << int(QDialog::Accepted) << true;
    QTest::newRow("Cancel") << "pushButton_2" << int(QDialog::Rejected) << false;
}

void tst_uiWebFileProperties::dialogHandsBackOnlyWhatOkTook()
{
    QFETCH(QString, button);
    QFETCH(int, result);
    QFETCH(bool, takesEdits);

    const QDateTime stored(QDate(2030, 5, 1), QTime(10, 15, 30));
    const QDateTime edited(QDate(2031, 2, 3), QTime(4, 5, 6));
    uiWebFilePropertiesDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("File properties"));
    QVERIFY(dialog.width() >= 400 && dialog.height() >= 300);
    dialog.page()->validTo = stored;
    dialog.page()->password = QStringLiteral("old");
    dialog.page()->showValues();
    QCOMPARE(expiryEditor(&dialog)->dateTime(), stored);
    QCOMPARE(passwordEditor(&dialog)->text(), QStringLiteral("old"));

    QObject scope;
    answerModal<uiWebFilePropertiesDialog>(&scope, [&](uiWebFilePropertiesDialog *shown) {
        expiryEditor(shown)->setDateTime(edited);
        passwordEditor(shown)->setText(QStringLiteral("new"));
        if (takesEdits)
            QVERIFY(save(shown, QStringLiteral("web-file-properties-dialog")));
        shown->findChild<QPushButton *>(button)->click();
    });
    QCOMPARE(dialog.exec(), result);

    QCOMPARE(dialog.page()->validTo, takesEdits ? edited : stored);
    QCOMPARE(dialog.page()->password, takesEdits ? QStringLiteral("new") : QStringLiteral("old"));
}

WIVORA_TEST_MAIN(tst_uiWebFileProperties)
#include "tst_uiWebFileProperties.moc"
