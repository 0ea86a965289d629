#include "WTalkRendererPluginFactory.h"

#include "WMailStructure.h"

#include <QWidget>

namespace {
const QString kEditorType = QStringLiteral("wivora/glimpseeditor");
const QString kRendererType = QStringLiteral("wivora/glimpserenderer");
} // namespace

WTalkRendererPluginFactory::WTalkRendererPluginFactory(QObject *parent) : QWebPluginFactory(parent)
{
}

QString WTalkRendererPluginFactory::objectHtml(const QString &itemId)
{
    if (!WMailStructure::isValidId(itemId))
        return QString();
    return QStringLiteral("<object type=\"") + kRendererType
        + QStringLiteral("\" width=\"100%\" height=\"140px\" glimpseid=\"") + itemId + QStringLiteral("\"></object>");
}

QList<QWebPluginFactory::Plugin> WTalkRendererPluginFactory::plugins() const
{
    auto plugin = [](const QString &name, const QString &type) {
        Plugin p;
        p.name = name;
        MimeType mime;
        mime.name = type;
        p.mimeTypes = {mime};
        return p;
    };
    return {plugin(QStringLiteral("Glimpseeditor"), kEditorType),
            plugin(QStringLiteral("Glimpserenderer"), kRendererType)};
}

QObject *WTalkRendererPluginFactory::create(const QString &mimeType, const QUrl &, const QStringList &argumentNames,
                                            const QStringList &argumentValues) const
{
    if (!m_items || m_items->isEmpty() || mimeType != kRendererType)
        return nullptr;
    const int at = argumentNames.indexOf(QStringLiteral("glimpseid"));
    if (at < 0 || at >= argumentValues.size())
        return nullptr;
    const QSharedPointer<IWMailPlugin> item = m_items->value(argumentValues.at(at));
    return item ? item->getRendererWidget() : nullptr;
}
