#pragma once

// A logged-in session of this process against a real wivora-server, for tests
// of the panels and dialogs without the main window. Modal dialogs are
// answered with answerModal.

#include "MainClass.h"
#include "ModalAnswer.h"
#include "WindowFixture.h"

// How many times the server saved user's account so far.
inline int accountSaves(const WindowFixture &fixture, const QString &user)
{
    return fixture.sessions.server.output().count(QStringLiteral("request Server::SaveAccount ") + user);
}

// How many requests of that name the server had so far.
inline int serverRequests(const WindowFixture &fixture, const QString &name)
{
    return fixture.sessions.server.output().count(QStringLiteral("request Server::") + name + QLatin1Char(' '));
}
