#include "ClientLogging.h"

Q_LOGGING_CATEGORY(lcLinks, "wivora.links")
Q_LOGGING_CATEGORY(lcRecords, "wivora.records")
Q_LOGGING_CATEGORY(lcStartup, "wivora.startup")

const QString ClientLogging::VerboseOption = QStringLiteral("verbose");

void ClientLogging::setVerbose(bool verbose)
{
    // Plug-ins and libraries print their debug lines in categories of their
    // own or in the default one: all of them wait for verbose too.
    QLoggingCategory::setFilterRules(verbose ? QString() : QStringLiteral("*.debug=false"));
}
