#pragma once

// A logged-in session of this process against a real wivora-server, for tests
// of the panels and dialogs without the main window. Modal dialogs are
// answered with answerModal.

#include "MainClass.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QTimer>

#include <functional>

// Hands the next modal dialog of type T to answer once it is up; stops
// looking when scope ends.
template <typename T> void answerModal(QObject *scope, const std::function<void(T *)> &answer)
{
    auto *poll = new QTimer(scope);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
        if (auto *modal = qobject_cast<T *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        }
    });
    poll->start(10);
}

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
