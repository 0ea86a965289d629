// A child process's sanitizer reports fail the test that started it. The
// child here writes what a sanitizer runtime writes, where the routed
// environment tells the runtime to (its log_path, plus ".<pid>").

#include "QtTestSuite.h"
#include "ChildSanitizerReports.h"

#include <QProcess>
#include <QtTest>

namespace {

// Runs a shell child with the routed environment; true when it ended cleanly.
bool runChild(const ChildSanitizerReports &reports, const QString &script)
{
    QProcess child;
    child.setProcessEnvironment(reports.routed(QProcessEnvironment::systemEnvironment()));
    child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    return child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

const QString WriteReport = QStringLiteral(
    "for variable in \"$ASAN_OPTIONS\" \"$TSAN_OPTIONS\"; do"
    "  printf '==%s==ERROR: AddressSanitizer: heap-use-after-free\\n' $$ > \"${variable##*log_path=}.$$\";"
    "done");

} // namespace

class tst_ChildSanitizerReports : public QObject
{
    Q_OBJECT

private slots:
    void reportFailsTheRunningTest()
    {
        ChildSanitizerReports reports;
        QVERIFY(runChild(reports, WriteReport));
        QEXPECT_FAIL("", "the child wrote a report", Continue);
        reports.check(QStringLiteral("the child"));
    }

    void eachReportFailsOnce()
    {
        ChildSanitizerReports reports;
        QVERIFY(runChild(reports, WriteReport));
        QEXPECT_FAIL("", "the child wrote a report", Continue);
        reports.check(QStringLiteral("the child"));
        // Checked again (the next start of the same child): nothing new.
        QVERIFY(runChild(reports, QStringLiteral("true")));
        reports.check(QStringLiteral("the child"));
    }

    void optionsOfTheTestStayWithTheChild()
    {
        ChildSanitizerReports reports;
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=1"));
        const QString options = reports.routed(environment).value(QStringLiteral("ASAN_OPTIONS"));
        QVERIFY2(options.startsWith(QLatin1String("detect_leaks=1:log_path=/")), qPrintable(options));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_ChildSanitizerReports)
#include "tst_ChildSanitizerReports.moc"
