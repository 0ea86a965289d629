#pragma once

#include <QLoggingCategory>

// The client's debug lines, one category per concern, so that one concern
// can be followed alone (QT_LOGGING_RULES="wivora.links.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcLinks)   // "wivora.links": which road each link took
Q_DECLARE_LOGGING_CATEGORY(lcRecords) // "wivora.records": records dropped, buffered, relayed
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // "wivora.startup": start-up and the wake-up server

// What the clients print on standard error: by default only what a user
// needs (warnings and errors; the headless client's own lines go to standard
// output), every debug line only when verbose. QT_LOGGING_RULES, when set,
// still decides over both.
class ClientLogging
{
public:
    ClientLogging() = delete;

    static void setVerbose(bool verbose);
    // The command-line option that makes the clients verbose.
    static const QString VerboseOption;
};
