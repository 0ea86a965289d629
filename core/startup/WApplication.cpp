#include "WApplication.h"

#include <QSessionManager>

WApplication::WApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
#ifndef QT_NO_SESSIONMANAGER
    connect(this, &QGuiApplication::commitDataRequest, this, &WApplication::slotCommitData);
#endif
}

void WApplication::slotCommitData(QSessionManager &manager)
{
    Q_UNUSED(manager)
    emit signalQuitApp();
}
