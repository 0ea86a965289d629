#pragma once

#include <KvrConfig.h>

#include <QImage>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QtPlugin>

class IWHost;
class QAction;
class QDockWidget;
class QWidget;

// The interface every plug-in's root object implements. The program loads
// each plug-in library once, casts its root object to this interface and
// never deletes or unloads it.
//
// The order of the operations is part of the binary contract between the
// program and the plug-ins: append new operations at the end only.
class IWPlugin
{
public:
    virtual ~IWPlugin() = default;

    virtual QImage getPluginIcon() = 0;
    // The program's key for the plug-in.
    virtual QString getPluginName() = 0;
    // The title shown on the plug-in's button and menus.
    virtual QString getPluginDisplayName() = 0;
    virtual void initSettingsWidget() = 0;
    // A page for the settings dialog, or null for none.
    virtual QWidget *getSettingsWidget() = 0;
    virtual QList<QWidget *> getMainPluginWidget() = 0;
    virtual QMap<QDockWidget *, Qt::DockWidgetArea> getDockWindows() = 0;
    // Never called by the program.
    virtual void receiveCommand(const KvrConfig &record) = 0;
    // Called once, right after loading; the pointer stays valid for the process.
    virtual bool setHostInterface(IWHost *host) = 0;
    // After every login and every reconnect, on the GUI thread or a pool
    // thread: must tolerate repeated calls.
    virtual void initPlugin() = 0;
    // At logout.
    virtual void closePlugin() = 0;
    // Per-contact pages keyed by a short name.
    virtual QMap<QString, QWidget *> getUserWidget() = 0;
    virtual void setUser(const QString &user) = 0;
    // Offered every received record whose name contains ":::" or begins with
    // "WebLocal::", on a thread started for that record. A plug-in claims
    // only its own records, with IWHost::takeInputCommand(id).
    virtual void commandReceived(const QString &id, const QString &command) = 0;
    // Host events, on the thread that raised them.
    virtual void signalReceived(const QString &name, const QMap<QString, QVariant> &params) = 0;
    virtual int getPluginVersion() = 0;
    virtual QList<QAction *> getContactsContextMenu() = 0;
    virtual QList<QAction *> getPluginMenu() = 0;
    virtual QImage getWindowIcon(QWidget *page) = 0;
    virtual QList<QAction *> getQuickMenuActions() = 0;
};

Q_DECLARE_INTERFACE(IWPlugin, "com.wivora.Wivora.IWPlugin/1.0")
