#include <QObject>
#include <QtPlugin>

// A valid Qt plug-in of another kind: it loads, but is no IWPlugin.
class ForeignPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.example.Foreign/1.0")
};

#include "ForeignPlugin.moc"
