#pragma once

// bob shares the folder "docs" (with a sub-folder "sub") of a temporary
// directory as the disc "docs"; alice and carol are his contacts and he is
// theirs. Each runs the real plug-in on an in-process host, so the pushes
// bob's permission changes send arrive at their plug-ins as the core would
// hand them over, and what each of them now knows of bob's discs can be read.

#include "TestHost.h"

#include <WFtp.h>
#include <uiPermissionWidget.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class FolderSharingFixture
{
public:
    static inline const QString Root = QStringLiteral("vls/bob/docs/root");

    FolderSharingFixture()
    {
        QDir().mkpath(docs() + QStringLiteral("/sub"));
        for (const char *name : {"alice", "bob", "carol"}) {
            hosts[name] = std::make_unique<TestHost>(QString::fromLatin1(name), &network);
            plugins[name] = std::make_unique<WFtp>();
        }
        // Offline in the contact lists, so no start-up refresh sends pushes of its own.
        for (const char *contact : {"alice", "carol"}) {
            bob().addContact(QString::fromLatin1(contact), 0);
            hosts[contact]->addContact(QStringLiteral("bob"), 0);
        }
        for (auto &entry : plugins)
            hosts[entry.first]->setPlugin(entry.second.get());
        disc = main().engine()->addSharedDisc(docs(), QStringLiteral("docs"));
    }
    ~FolderSharingFixture()
    {
        for (auto &host : hosts)
            host.second->waitIdle();
        // Plug-ins go before their hosts, as in the program.
        plugins.clear();
    }

    TestHost &bob() { return *hosts["bob"]; }
    WFtpMain &main() { return plugins["bob"]->controller(); }
    QString docs() const { return folder.path() + QStringLiteral("/docs"); }

    // What a contact's plug-in knows of bob's discs once every push arrived.
    QStringList knownBy(const char *contact)
    {
        hosts[contact]->waitIdle();
        return plugins[contact]->controller().knownDiscs();
    }

    // "shared:<user>" and "disconnect:<user> <path>" for every push bob sent
    // since the last call, sorted.
    QStringList takePushes()
    {
        const QList<KvrConfig> sent = bob().sentCommands();
        const auto routes = bob().sentRoutes();
        QStringList pushes;
        for (int i = sentBefore; i < sent.size(); ++i) {
            const QString command = sent[i].gv(QStringLiteral("command"));
            if (command == QLatin1String("wftp:::getSharedFolders:callback"))
                pushes << QStringLiteral("shared:") + routes[i].first;
            else if (command == QLatin1String("wftp:::disconnectDisc:callback"))
                pushes << QStringLiteral("disconnect:") + routes[i].first + QLatin1Char(' ') + sent[i].gv("path");
        }
        sentBefore = sent.size();
        pushes.sort();
        return pushes;
    }

    // The sections of a folder's permitted users, in stored order; "-" when
    // the folder has no record.
    QStringList stored(const QString &folderPath = QString())
    {
        const auto folder = main().engine()->getSharedFolderByPath(disc, folderPath);
        if (!folder)
            return {QStringLiteral("-")};
        QStringList users;
        if (const auto list = folder->GetStructureByValue("section", "permittedusers"))
            for (const auto &record : list->getChildren())
                users << record->gv("section");
        return users;
    }
    QString accountText() { return bob().getAccount()->accountData->SerializeStructure(); }

    // A row from "<user>:<rights>", rights among R W D F and P (permanent);
    // "-" for none.
    static uiPermissionWidget *row(const QString &spec, QWidget *parent = nullptr)
    {
        const QString user = spec.section(QLatin1Char(':'), 0, 0);
        const QString rights = spec.section(QLatin1Char(':'), 1);
        auto *widget = new uiPermissionWidget(parent);
        widget->setPermission(user, QDate(2031, 5, 17), rights.contains('P'), rights.contains('R'),
                              rights.contains('W'), rights.contains('D'), rights.contains('F'));
        return widget;
    }

    QTemporaryDir folder;
    TestNetwork network;
    std::map<std::string, std::unique_ptr<TestHost>> hosts;
    std::map<std::string, std::unique_ptr<WFtp>> plugins;
    QString disc;
    int sentBefore = 0;
};
