#pragma once

#include <QApplication>

class QSessionManager;

// The program's application object. When the desktop session ends, the
// session manager asks the program to save its state; the program answers by
// running its quit sequence, which is reached through signalQuitApp().
class WApplication : public QApplication
{
    Q_OBJECT

public:
    WApplication(int &argc, char **argv);

signals:
    void signalQuitApp();

private slots:
    // Qt 5 announces the session manager's request by a signal (commitData
    // is no longer virtual); the whole answer is signalQuitApp().
    void slotCommitData(QSessionManager &manager);
};
