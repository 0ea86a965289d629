// The start-up offer to run a staged client installer, with the user's
// answer and the desktop's opener replaced by recorders.

#include "QtTestSuite.h"
#include "InstallerOffer.h"

#include <PSettings.h>

#include <QDir>
#include <QFile>
#include <QtTest>

Q_DECLARE_METATYPE(InstallerOffer::Outcome)

class tst_InstallerOffer : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        QDir(PSettings::GetStoragePath(QStringLiteral("/update"))).removeRecursively();
        PSettings::RemoveValue(QStringLiteral("service/publicsite"));
    }

    void installerIsNamedAfterTheBuild()
    {
        QCOMPARE(InstallerOffer::installerPath(),
                 PSettings::GetStoragePath(QStringLiteral("update")) + QStringLiteral("/setup1021.exe"));
    }

    void offer_data()
    {
        QTest::addColumn<bool>("staged");
        QTest::addColumn<bool>("userSaysYes");
        QTest::addColumn<bool>("openerWorks");
        QTest::addColumn<InstallerOffer::Outcome>("outcome");
        QTest::addColumn<int>("questionsAsked");
        QTest::addColumn<int>("opened");
        QTest::addColumn<int>("noticesShown");

        using O = InstallerOffer::Outcome;
        QTest::newRow("nothing staged") << false << true << true << O::NoInstaller << 0 << 0 << 0;
        QTest::newRow("staged, no") << true << false << true << O::Declined << 1 << 0 << 0;
        QTest::newRow("staged, yes, opened") << true << true << true << O::Opened << 1 << 1 << 0;
        QTest::newRow("staged, yes, cannot open") << true << true << false << O::OpenFailed << 1 << 1 << 1;
    }
    void offer()
    {
        QFETCH(bool, staged);
        QFETCH(bool, userSaysYes);
        QFETCH(bool, openerWorks);
        QFETCH(InstallerOffer::Outcome, outcome);
        QFETCH(int, questionsAsked);
        QFETCH(int, opened);
        QFETCH(int, noticesShown);

        const QString installer = InstallerOffer::installerPath();
        if (staged) {
            QVERIFY(QDir().mkpath(QFileInfo(installer).path()));
            QFile file(installer);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("installer");
        }
        PSettings::SetValue(QStringLiteral("service/publicsite"), QStringLiteral("http://site.example:81/"));

        QStringList questions;
        QList<QUrl> openedUrls;
        QStringList notices;
        const InstallerOffer offer(
            [&](const QString &title, const QString &text) {
                questions << title + QLatin1Char('|') + text;
                return userSaysYes;
            },
            [&](const QUrl &url) {
                openedUrls << url;
                return openerWorks;
            },
            [&](const QString &title, const QString &text) { notices << title + QLatin1Char('|') + text; });

        QCOMPARE(offer.run(), outcome);
        QCOMPARE(questions.size(), questionsAsked);
        QCOMPARE(openedUrls.size(), opened);
        QCOMPARE(notices.size(), noticesShown);
        if (questionsAsked) {
            QCOMPARE(questions.first(),
                     QStringLiteral("Wivora update|New Wivora version available. Do you want to update "
                                    "Wivora to the newest version?"));
        }
        if (opened)
            QCOMPARE(openedUrls.first(), QUrl::fromLocalFile(installer));
        if (noticesShown) {
            QCOMPARE(notices.first(),
                     QStringLiteral("Wivora update|We cannot open saved file. Please download the newest "
                                    "version from our website. http://site.example:81. We are sorry for "
                                    "inconvenience."));
        }
        // Removing the staged installer is the plug-in loader's job.
        QCOMPARE(QFile::exists(installer), staged);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_InstallerOffer)
#include "tst_InstallerOffer.moc"
