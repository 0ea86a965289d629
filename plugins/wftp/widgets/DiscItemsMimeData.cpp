#include "DiscItemsMimeData.h"

#include <QStringList>

const QString DiscItemsMimeData::Format = QStringLiteral("application/x-wivora-disc-items");

DiscItemsMimeData::DiscItemsMimeData(const DiscItems &dragged) : m_dragged(dragged)
{
    setData(Format, QStringList(dragged.items.keys()).join(QLatin1Char('\n')).toUtf8());
}

DiscItemsMimeData *DiscItemsMimeData::create(const DiscItems &dragged)
{
    if (dragged.folder.isEmpty() || dragged.items.isEmpty())
        return nullptr;
    return new DiscItemsMimeData(dragged);
}

const DiscItems *DiscItemsMimeData::from(const QMimeData *data)
{
    const auto *own = qobject_cast<const DiscItemsMimeData *>(data);
    return own ? &own->m_dragged : nullptr;
}
