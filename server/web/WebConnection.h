#pragma once

#include "PasswordGuessThrottle.h"

#include <QString>

// What the web site knows of the connection a request came on: the address it
// comes from, and what its guesses at file passwords have cost. A connection
// has one request answered at a time.
struct WebConnection
{
    QString address;
    PasswordGuessThrottle::Budget passwordGuesses;
};
