// The template the build makes for translators: a well-formed .ts file that
// holds the texts of the program, its windows and both plug-ins, each under
// the class that shows it, with places relative to the sources.

#include "QtTestSuite.h"

#include <QFile>
#include <QMultiHash>
#include <QXmlStreamReader>

namespace {

struct Template
{
    QMultiHash<QString, QString> textsByContext;
    QStringList locations;
    QString error;
};

Template readTemplate(const QString &path)
{
    Template result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = path + QStringLiteral(": ") + file.errorString();
        return result;
    }
    QXmlStreamReader xml(&file);
    QString context;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source"))
            result.textsByContext.insert(context, xml.readElementText());
        else if (xml.name() == QLatin1String("location"))
            result.locations << xml.attributes().value(QStringLiteral("filename")).toString();
    }
    if (xml.hasError())
        result.error = xml.errorString();
    return result;
}

} // namespace

class tst_TranslationTemplate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_template = readTemplate(QStringLiteral(TRANSLATION_TEMPLATE));
        QVERIFY2(m_template.error.isEmpty(), qPrintable(m_template.error));
    }

    void holdsTheTextsOfEveryPart_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("text");
        QTest::newRow("main window menu") << "Wivora" << "&Log out";
        QTest::newRow("main window tray") << "Wivora" << "&Quit";
        QTest::newRow("file-sharing wizard") << "ShareFolderWizard" << "New folder sharing";
        QTest::newRow("file-sharing actions") << "WFtpWindows" << "Add shared folder";
        QTest::newRow("messaging notice") << "WMailMain" << "New message from %1";
    }
    void holdsTheTextsOfEveryPart()
    {
        QFETCH(QString, context);
        QFETCH(QString, text);
        QVERIFY2(m_template.textsByContext.values(context).contains(text),
                 qPrintable(QStringLiteral("\"%1\" is not under %2").arg(text, context)));
    }

    // A template made on one machine reads the same on another.
    void placesAreRelative()
    {
        QVERIFY(!m_template.locations.isEmpty());
        for (const QString &location : m_template.locations)
            QVERIFY2(!location.startsWith(QLatin1Char('/')), qPrintable(location));
    }

private:
    Template m_template;
};

WIVORA_TEST_GUILESS_MAIN(tst_TranslationTemplate)
#include "tst_TranslationTemplate.moc"
