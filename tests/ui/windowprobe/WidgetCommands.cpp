#include "WidgetCommands.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDockWidget>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMimeData>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QWizard>

#include <memory>

namespace {

QObject *findAnywhere(const QString &name)
{
    if (name == QLatin1String("modal"))
        return QApplication::activeModalWidget();
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (name == QLatin1String("window") && qobject_cast<QMainWindow *>(top))
            return top;
        if (top->objectName() == name)
            return top;
        if (QObject *found = top->findChild<QObject *>(name))
            return found;
    }
    return nullptr;
}

template <typename T> T *find(const QString &path)
{
    const QStringList names = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QObject *object = names.isEmpty() ? nullptr : findAnywhere(names.first());
    for (int i = 1; object && i < names.size(); ++i)
        object = object->findChild<QObject *>(names.at(i));
    return qobject_cast<T *>(object);
}

// The texts of a row drawn by a widget of its own (a shortened text's
// whole form is in its tip).
QString rowWidgetText(QWidget *row)
{
    QStringList parts;
    for (const QLabel *label : row ? row->findChildren<QLabel *>() : QList<QLabel *>()) {
        const QString text = label->toolTip().isEmpty() ? label->text() : label->toolTip();
        if (!text.isEmpty())
            parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

QStringList itemTexts(QWidget *view)
{
    QStringList texts;
    if (auto *tree = qobject_cast<QTreeWidget *>(view)) {
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            texts << tree->topLevelItem(i)->text(0);
    } else if (auto *list = qobject_cast<QListWidget *>(view)) {
        for (int i = 0; i < list->count(); ++i) {
            QWidget *row = list->itemWidget(list->item(i));
            texts << (row ? rowWidgetText(row) : list->item(i)->text());
        }
    } else if (auto *other = qobject_cast<QAbstractItemView *>(view)) {
        for (int i = 0; other->model() && i < other->model()->rowCount(); ++i) {
            const QModelIndex index = other->model()->index(i, 0);
            QWidget *row = other->indexWidget(index);
            texts << (row ? rowWidgetText(row) : index.data().toString());
        }
    }
    return texts;
}

// Selects the items whose text is in texts; the first of them is activated
// when activate is set. False when none matched.
bool selectItems(QWidget *view, const QStringList &texts, bool activate)
{
    bool found = false;
    if (auto *tree = qobject_cast<QTreeWidget *>(view)) {
        tree->clearSelection();
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = tree->topLevelItem(i);
            if (!texts.contains(item->text(0)))
                continue;
            item->setSelected(true);
            if (!found) {
                tree->setCurrentItem(item);
                if (activate)
                    emit tree->itemActivated(item, 0);
            }
            found = true;
        }
    } else if (auto *list = qobject_cast<QListWidget *>(view)) {
        list->clearSelection();
        for (int i = 0; i < list->count(); ++i) {
            QListWidgetItem *item = list->item(i);
            if (!texts.contains(item->text()))
                continue;
            item->setSelected(true);
            if (!found) {
                list->setCurrentItem(item);
                if (activate)
                    emit list->itemActivated(item);
            }
            found = true;
        }
    }
    return found;
}

// The data of the drag under way ("drag" to "release").
std::unique_ptr<QMimeData> heldDrag;

// A drop at `at` (the view's empty bottom edge when null) on the view's
// viewport, with the events the drag manager sends.
void dropOn(QAbstractItemView *view, const QMimeData *data, QPoint at = QPoint())
{
    QWidget *target = view->viewport();
    if (at.isNull())
        at = QPoint(target->width() / 2, target->height() - 2);
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

void dropFiles(QAbstractItemView *view, const QStringList &paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    dropOn(view, &data);
}

// Where the item of that text is drawn; null when the view has none.
QPoint itemCentre(QAbstractItemView *view, const QString &text)
{
    const QModelIndexList found =
        view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly);
    return found.isEmpty() ? QPoint() : view->visualRect(found.first()).center();
}

} // namespace

QString WidgetCommands::run(const QString &command, const QString &argument)
{
    const QString path = argument.section(QLatin1Char(' '), 0, 0);
    const QString value = argument.section(QLatin1Char(' '), 1);
    const QString ok = QStringLiteral("ok");
    const QString missing = QStringLiteral("no ") + path;
    if (command == QLatin1String("modal")) {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return QStringLiteral("none");
        return modal->objectName().isEmpty() ? QString::fromLatin1(modal->metaObject()->className()) : modal->objectName();
    }
    if (command == QLatin1String("accept")) {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return QStringLiteral("no dialog");
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        return ok;
    }
    if (command == QLatin1String("read")) {
        QObject *widget = find<QObject>(path);
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            return edit->text();
        if (auto *text = qobject_cast<QTextEdit *>(widget))
            return text->toPlainText().replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
        if (auto *label = qobject_cast<QLabel *>(widget))
            return label->text();
        if (auto *tabs = qobject_cast<QTabWidget *>(widget))
            return tabs->tabText(tabs->currentIndex());
        return missing;
    }
    if (command == QLatin1String("icon")) {
        // The colour in the middle of the item's picture.
        auto *list = find<QListWidget>(path);
        const QList<QListWidgetItem *> items = list ? list->findItems(value, Qt::MatchExactly) : QList<QListWidgetItem *>();
        if (items.isEmpty())
            return QStringLiteral("no item ") + value;
        const QImage picture = items.first()->icon().pixmap(list->iconSize()).toImage();
        return picture.isNull() ? QStringLiteral("none") : QColor(picture.pixel(picture.width() / 2, picture.height() / 2)).name();
    }
    if (command == QLatin1String("text")) {
        if (auto *edit = find<QLineEdit>(path)) {
            edit->setText(value);
            emit edit->textEdited(value);
            return ok;
        }
        auto *combo = find<QComboBox>(path);
        if (!combo || combo->findText(value) < 0)
            return missing;
        combo->setCurrentIndex(combo->findText(value));
        return ok;
    }
    if (command == QLatin1String("check")) {
        auto *box = find<QCheckBox>(path);
        if (!box)
            return missing;
        box->setChecked(value == QLatin1String("1"));
        return ok;
    }
    if (command == QLatin1String("click")) {
        auto *button = find<QAbstractButton>(path);
        if (!button)
            return missing;
        // Later: what it opens may be modal, and this answer must go first.
        QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        return ok;
    }
    if (command == QLatin1String("trigger")) {
        auto *action = find<QAction>(path);
        if (!action)
            return missing;
        QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
        return ok;
    }
    if (command == QLatin1String("wizard")) {
        auto *wizard = qobject_cast<QWizard *>(QApplication::activeModalWidget());
        if (!wizard)
            return QStringLiteral("no wizard");
        const QWizard::WizardButton which = argument == QLatin1String("finish") ? QWizard::FinishButton : QWizard::NextButton;
        QMetaObject::invokeMethod(wizard->button(which), &QAbstractButton::click, Qt::QueuedConnection);
        return ok;
    }
    if (command == QLatin1String("tab")) {
        auto *tabs = find<QTabWidget>(path);
        if (!tabs)
            return missing;
        tabs->setCurrentIndex(value.toInt());
        return ok;
    }
    if (command == QLatin1String("button")) {
        auto *window = find<QMainWindow>(QStringLiteral("window"));
        for (QToolBar *bar : window ? window->findChildren<QToolBar *>() : QList<QToolBar *>()) {
            for (QAction *action : bar->actions()) {
                if (action->text() == argument) {
                    action->trigger();
                    return ok;
                }
            }
        }
        return QStringLiteral("no button ") + argument;
    }
    if (command == QLatin1String("entries")) {
        auto *view = find<QWidget>(path);
        // Empty, not null: null is "not one of these commands".
        return view ? QLatin1String("") + itemTexts(view).join(QLatin1Char('|')) : missing;
    }
    if (command == QLatin1String("activate") || command == QLatin1String("select")) {
        auto *view = find<QWidget>(path);
        if (!view)
            return missing;
        return selectItems(view, value.split(QLatin1Char('|')), command == QLatin1String("activate"))
            ? ok
            : QStringLiteral("no item ") + value;
    }
    if (command == QLatin1String("float")) {
        auto *dock = find<QDockWidget>(path);
        const QSize size(value.section(QLatin1Char(' '), 0, 0).toInt(), value.section(QLatin1Char(' '), 1, 1).toInt());
        if (!dock || size.isEmpty())
            return missing;
        dock->setFloating(true);
        dock->resize(size);
        return ok;
    }
    if (command == QLatin1String("grab")) {
        auto *widget = find<QWidget>(path);
        if (!widget)
            return missing;
        return widget->grab().save(value, "PNG") ? ok : QStringLiteral("not saved");
    }
    if (command == QLatin1String("drop")) {
        auto *view = find<QAbstractItemView>(path);
        if (!view)
            return missing;
        // Later, like a click: a drop may open a modal window.
        const QStringList paths = value.split(QLatin1Char('|'));
        QMetaObject::invokeMethod(view, [view, paths] { dropFiles(view, paths); }, Qt::QueuedConnection);
        return ok;
    }
    if (command == QLatin1String("drag")) {
        auto *view = find<QAbstractItemView>(path);
        if (!view)
            return missing;
        // What the view's drag start takes: its model's data for the selection.
        heldDrag.reset(view->model()->mimeData(view->selectionModel()->selectedIndexes()));
        return heldDrag ? ok : QStringLiteral("nothing to drag");
    }
    if (command == QLatin1String("hover")) {
        auto *tabs = find<QTabWidget>(path);
        int index = -1;
        for (int i = 0; tabs && i < tabs->count(); ++i) {
            if (tabs->tabText(i) == value)
                index = i;
        }
        if (index < 0 || !heldDrag)
            return index < 0 ? missing : QStringLiteral("no drag");
        QTabBar *bar = tabs->tabBar();
        const QPoint at = bar->tabRect(index).center();
        QDragEnterEvent enter(at, Qt::CopyAction, heldDrag.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, heldDrag.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &move);
        return ok;
    }
    if (command == QLatin1String("release")) {
        auto *view = find<QAbstractItemView>(path);
        if (!view || !heldDrag)
            return view ? QStringLiteral("no drag") : missing;
        const QPoint at = value.isEmpty() ? QPoint() : itemCentre(view, value);
        if (!value.isEmpty() && at.isNull())
            return QStringLiteral("no item ") + value;
        // Later, like a click: a drop may open a modal window.
        std::shared_ptr<QMimeData> data(heldDrag.release());
        QMetaObject::invokeMethod(view, [view, data, at] { dropOn(view, data.get(), at); }, Qt::QueuedConnection);
        return ok;
    }
    return QString();
}
