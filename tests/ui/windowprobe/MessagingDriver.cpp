#include "MessagingDriver.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeWidget>

namespace {

// Every widget of the program's windows that is of the class className, in
// the order they were made.
QList<QWidget *> widgetsOf(const char *className)
{
    QList<QWidget *> found;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->inherits(className))
            found << top;
        for (QWidget *child : top->findChildren<QWidget *>()) {
            if (child->inherits(className))
                found << child;
        }
    }
    return found;
}

QString addAndSend(const char *editorClass, const QString &paths)
{
    const QList<QWidget *> editors = widgetsOf(editorClass);
    if (editors.isEmpty())
        return QStringLiteral("no editor");
    QWidget *editor = editors.first();
    auto *send = editor->findChild<QAction *>(QStringLiteral("actionSend_files"));
    if (!send)
        return QStringLiteral("no send action");
    QMetaObject::invokeMethod(editor, "slotAddFiles", Q_ARG(QStringList, paths.split(QLatin1Char('|'))));
    send->trigger();
    return QStringLiteral("ok");
}

QString showPage(const QString &name)
{
    const QList<QWidget *> views = widgetsOf("uiUserProfileView");
    if (views.isEmpty())
        return QStringLiteral("no profile");
    for (QAction *action : views.first()->findChildren<QAction *>()) {
        if (action->text() == name) {
            action->trigger();
            return QStringLiteral("ok");
        }
    }
    return QStringLiteral("no page");
}

QString saveFiles(const QString &folder)
{
    const QList<QWidget *> renderers = widgetsOf("FilesRenderer");
    if (renderers.isEmpty())
        return QStringLiteral("no files item");
    QWidget *renderer = renderers.last();
    auto *list = renderer->findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    auto *save = renderer->findChild<QAction *>(QStringLiteral("actionSave_selected_files"));
    if (!list || !save)
        return QStringLiteral("no list");
    list->selectAll();
    // The folder dialog, and a warning when saving fails, run inside the
    // trigger: each is answered once it is up.
    QString warning;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&warning, folder] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            dialog->setDirectory(folder);
            QMetaObject::invokeMethod(dialog, "accept");
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            warning = box->text();
            box->accept();
        }
    });
    poll.start(20);
    save->trigger();
    return warning.isEmpty() ? QString::number(list->selectedItems().size()) : warning;
}

void mouse(QWidget *target, QEvent::Type type, const QPoint &at)
{
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QString openViewer()
{
    const QList<QWidget *> carousels = widgetsOf("TabCarousel");
    if (carousels.isEmpty())
        return QStringLiteral("no album");
    auto *view = carousels.last()->findChild<QGraphicsView *>();
    // The front tile stands at x = -45, y = 20 of the scene, 80 x 120.
    const QPoint front = view->mapFromScene(QPointF(-5, 60));
    mouse(view->viewport(), QEvent::MouseButtonPress, front);
    mouse(view->viewport(), QEvent::MouseButtonRelease, front);
    mouse(view->viewport(), QEvent::MouseButtonDblClick, front);
    mouse(view->viewport(), QEvent::MouseButtonRelease, front);
    const QList<QWidget *> viewers = widgetsOf("QPictureDetails");
    for (QWidget *viewer : viewers) {
        if (viewer->isVisible()) {
            int pictures = 0;
            for (const QGraphicsItem *item : viewer->findChild<QGraphicsView *>()->scene()->items())
                pictures += item->type() == QGraphicsPixmapItem::Type;
            viewer->close();
            return QString::number(pictures);
        }
    }
    return QStringLiteral("no viewer");
}

} // namespace

QString MessagingDriver::run(const QString &command, const QString &argument)
{
    if (command == QLatin1String("page"))
        return showPage(argument);
    if (command == QLatin1String("files"))
        return addAndSend("FilesEditor", argument);
    if (command == QLatin1String("album"))
        return addAndSend("PhotoAlbumEditor", argument);
    if (command == QLatin1String("items"))
        return QStringLiteral("files:%1 albums:%2").arg(widgetsOf("FilesRenderer").size()).arg(widgetsOf("PhotoAlbumRenderer").size());
    if (command == QLatin1String("save"))
        return saveFiles(argument);
    if (command == QLatin1String("viewer"))
        return openViewer();
    return QString();
}
