#pragma once

#include <QString>

// Writes a small report when the process dies of a fatal signal (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT): "<dumps folder>/<random name>.dmp" with
// the signal, the faulting address, the raw backtrace and the product and
// version. The signal's default action is then restored and the signal
// raised again, so the process still ends as it would have without a handler.
//
// The handler runs in a broken process, so it only makes async-signal-safe
// calls: the file names are made at install time, nothing is allocated, and
// the installing thread handles a stack overflow on an alternate stack. The dumps
// are uploaded by CrashDumpUploader at the next start, never by the dying
// process.
class CrashHandler
{
public:
    CrashHandler() = delete;

    // The settings folder + "/dumps": writable by the user.
    static QString defaultDumpsFolder();

    // Creates the folder when missing, owner-only as are the reports in it,
    // and installs the handler for the whole process (a later call replaces
    // the folder). False when the folder path is too long or a handler cannot
    // be installed.
    static bool install(const QString &dumpsFolder = defaultDumpsFolder());
};
