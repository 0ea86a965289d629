#pragma once

// Sanitizer reports of a child process (a server, a client) fail the test
// that started it. A child's reports would otherwise go to its own standard
// error, which the harnesses keep to themselves or write to a file nobody
// reads; here every sanitizer runtime of the child writes them into a folder
// of this object's, and check() turns what it finds there into a failure of
// the running test, report included.
//
//   ChildSanitizerReports reports;
//   process.setProcessEnvironment(reports.routed(QProcessEnvironment::systemEnvironment()));
//   ... the child ends ...
//   reports.check(QStringLiteral("wivora-server"));
//
// Builds without sanitizers write no reports, so check() never fails there.

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest/QTest>

#include <cstdio>
#include <cstdlib>

class ChildSanitizerReports
{
public:
    // The environment with each sanitizer's reports written to a file of
    // this object's, named after the child's process id.
    QProcessEnvironment routed(QProcessEnvironment environment) const
    {
        const QString logPath = QStringLiteral("log_path=") + m_folder.filePath(QStringLiteral("report"));
        for (const QString &variable : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("LSAN_OPTIONS"),
                                        QStringLiteral("UBSAN_OPTIONS"), QStringLiteral("TSAN_OPTIONS")}) {
            const QString options = environment.value(variable);
            environment.insert(variable, options.isEmpty() ? logPath : options + QLatin1Char(':') + logPath);
        }
        return environment;
    }

    // Fails the running test when a child wrote a report since the last
    // check (or, outside any test function, ends the program with the
    // reports on standard error). Each report fails once: it is removed.
    void check(const QString &child)
    {
        QString reports;
        const QDir folder(m_folder.path());
        waitUntilWritten(folder);
        for (const QString &name : folder.entryList(QDir::Files, QDir::Name)) {
            QFile file(folder.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                reports += QString::fromUtf8(file.readAll());
            file.remove();
        }
        if (reports.trimmed().isEmpty())
            return;
        const QString message = QStringLiteral("%1 wrote sanitizer reports:\n%2").arg(child, reports);
        if (QTest::currentTestFunction()) {
            QTest::qVerify(false, "no sanitizer report", qPrintable(message), __FILE__, __LINE__);
            return;
        }
        std::fprintf(stderr, "FAIL! %s\n", qPrintable(message));
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }

private:
    // A child that is still running may be writing its report: read it once
    // it has stopped growing, so the whole report reaches the log.
    static void waitUntilWritten(const QDir &folder)
    {
        const auto sizes = [&folder] {
            QList<qint64> sizes;
            for (const QFileInfo &report : folder.entryInfoList(QDir::Files, QDir::Name))
                sizes << report.size();
            return sizes;
        };
        // Symbolising each frame takes a while on a loaded machine.
        constexpr int StepMs = 250, QuietSteps = 8, MaxSteps = 80;
        QList<qint64> before = sizes();
        for (int step = 0, quiet = 0; !before.isEmpty() && quiet < QuietSteps && step < MaxSteps; ++step) {
            QThread::msleep(StepMs);
            const QList<qint64> now = sizes();
            quiet = now == before ? quiet + 1 : 0;
            before = now;
        }
    }

    QTemporaryDir m_folder;
};
