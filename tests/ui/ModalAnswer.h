#pragma once

// Answers modal dialogs in offscreen tests: the platform has no native
// dialogs, so message boxes, input and file dialogs are Qt widgets a test can
// fill in and accept like a user.

#include <QApplication>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <functional>

// Hands the next modal dialog of type T to `answer` once it is up; stops
// looking when `scope` ends.
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
