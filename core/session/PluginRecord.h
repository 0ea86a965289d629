#pragma once

#include <QImage>
#include <QObject>
#include <QString>

// One loaded plug-in, as the plug-in manager keeps it in load order.
struct PluginRecord
{
    QString name;              // what the plug-in answers to getPluginName
    QString path;              // absolute path of the library file
    QObject *instance = nullptr; // the library's root object; never deleted
    QImage icon;
};
