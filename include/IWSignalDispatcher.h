#pragma once

#include <QString>

// The host's event hub as plug-ins see it: raising an event here tells the
// host's own windows and then every plug-in (IWPlugin::signalReceived).
//
// The order of the operations is part of the binary contract between the
// program and the plug-ins: append new operations at the end only.
class IWSignalDispatcher
{
public:
    virtual ~IWSignalDispatcher() = default;

    virtual void userStatusChanged(int status) = 0;
    virtual void newContactAdded(const QString &username) = 0;
    virtual void contactEdited(const QString &username) = 0;
    virtual void contactDeleted(const QString &username) = 0;
    virtual void personalDataChanged() = 0;
};
