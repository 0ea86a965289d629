#include "WindowDriver.h"

#include "MessagingDriver.h"
#include "WidgetCommands.h"

#include <IWHost.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtConcurrent>

#include <functional>

namespace {

template <typename T> T *findAnywhere(const QString &name)
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == name)
            if (auto *self = qobject_cast<T *>(top))
                return self;
        if (T *found = top->findChild<T *>(name))
            return found;
    }
    return nullptr;
}

// Hands the next modal window named name to act, once it is up.
void whenModal(const QString &name, const std::function<void(QWidget *)> &act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, name, act] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || (!name.isEmpty() && modal->objectName() != name))
            return;
        poll->stop();
        poll->deleteLater();
        act(modal);
    });
    poll->start(20);
}

QTreeWidgetItem *contactRow(const QString &user)
{
    QTreeWidget *list = findAnywhere<QTreeWidget>(QStringLiteral("listakontaktow"));
    for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->data(0, Qt::UserRole + 1).toString() == user)
            return list->topLevelItem(i);
    }
    return nullptr;
}

} // namespace

WindowDriver::WindowDriver(IWHost *host, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_server(new QLocalServer(this))
{
    const QString name = QDir::tempPath() + QStringLiteral("/windowprobe");
    QLocalServer::removeServer(name);
    m_server->listen(name);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readCommands(socket); });
    });
}

void WindowDriver::readCommands(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        const QString line = QString::fromUtf8(socket->readLine()).trimmed();
        const QString command = line.section(QLatin1Char(' '), 0, 0);
        const QString argument = line.section(QLatin1Char(' '), 1);
        socket->write(run(command, argument).toUtf8() + '\n');
        socket->flush();
    }
}

QString WindowDriver::run(const QString &command, const QString &argument)
{
    if (command == QLatin1String("rows")) {
        QStringList rows;
        QTreeWidget *list = findAnywhere<QTreeWidget>(QStringLiteral("listakontaktow"));
        for (int i = 0; list && i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->text(0);
        rows.sort();
        return rows.join(QLatin1Char(','));
    }
    if (command == QLatin1String("add")) {
        whenModal(QStringLiteral("uiAddUserWindowClass"), [argument](QWidget *dialog) {
            dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(argument);
            dialog->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
            auto *results = dialog->findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
            for (int i = 0; i < results->topLevelItemCount(); ++i)
                results->topLevelItem(i)->setSelected(results->topLevelItem(i)->text(0) == argument);
            dialog->findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        });
        return run(QStringLiteral("action"), QStringLiteral("actionAdd_Contact"));
    }
    if (command == QLatin1String("ask")) {
        IWHost *host = m_host;
        m_question = QtConcurrent::run([host, argument] { return host->isUserAccepted(argument); });
        return QStringLiteral("asked");
    }
    if (command == QLatin1String("answer")) {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QAbstractButton *button = box ? box->button(argument == QLatin1String("yes") ? QMessageBox::Yes : QMessageBox::No) : nullptr;
        if (!button)
            return QStringLiteral("no question");
        const QString text = box->text();
        button->click();
        return text;
    }
    if (command == QLatin1String("accepted")) {
        // Never waited for here: the answer may be on its way below this
        // call, in a wait of the GUI thread that keeps events flowing.
        if (!m_question.isFinished())
            return QStringLiteral("pending");
        return m_question.result() ? QStringLiteral("1") : QStringLiteral("0");
    }
    if (command == QLatin1String("action")) {
        QAction *action = findAnywhere<QAction>(argument);
        if (!action)
            return QStringLiteral("no action");
        action->trigger();
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("avatar")) {
        whenModal(QStringLiteral("uiPersonalizeClass"), [argument](QWidget *dialog) {
            QMetaObject::invokeMethod(dialog, "pickPicture", Q_ARG(QString, argument));
            dialog->findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        });
        return run(QStringLiteral("action"), QStringLiteral("actionEdit_profile"));
    }
    if (command == QLatin1String("show")) {
        QTreeWidgetItem *row = contactRow(argument);
        if (!row)
            return QStringLiteral("no row");
        emit row->treeWidget()->itemActivated(row, 0);
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("profile")) {
        QWidget *view = findAnywhere<QWidget>(QStringLiteral("uiUserProfileViewClass"));
        if (!view)
            return QStringLiteral("no profile");
        const QImage avatar = view->findChild<QLabel *>(QStringLiteral("label"))->pixmap(Qt::ReturnByValue).toImage();
        const QByteArray bits(reinterpret_cast<const char *>(avatar.constBits()), int(avatar.sizeInBytes()));
        return view->findChild<QLabel *>(QStringLiteral("fullName"))->text() + QLatin1Char('|')
            + QString::number(qChecksum(bits.constData(), uint(bits.size())));
    }
    if (command == QLatin1String("delete")) {
        QTreeWidgetItem *row = contactRow(argument);
        if (!row)
            return QStringLiteral("no row");
        row->treeWidget()->clearSelection();
        row->setSelected(true);
        whenModal(QString(), [](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                box->button(QMessageBox::Ok)->click();
        });
        return run(QStringLiteral("action"), QStringLiteral("actionDelete_Contact"));
    }
    QString answer = MessagingDriver::run(command, argument);
    if (answer.isEmpty())
        answer = WidgetCommands::run(command, argument);
    return answer.isNull() ? QStringLiteral("unknown command") : answer;
}
