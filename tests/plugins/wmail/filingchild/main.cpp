// Files text messages into "<folder>/bob.wml" as fast as it can, and prints
// the id of each on its own line once addMessage has returned: a line on
// stdout means the message counts as stored. With a fold interval n > 0 it
// also rewrites the whole conversation after every n-th message, so that a
// kill can land inside a rewrite.
//
// Usage: wmail_filing_child <folder> <fold interval>

#include "WMailConversation.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int foldInterval = QByteArray(argv[2]).toInt();
    const QString name = QStringLiteral("bob");
    WMailConversation conversation(folder, name);
    if (QFileInfo::exists(conversation.conversationPath())) {
        if (!conversation.load())
            return 3;
    } else {
        conversation.initialise(name, QStringLiteral("alice"), {name});
    }
    for (int n = 1;; ++n) {
        const auto message = conversation.newMessage(QStringLiteral("text"), QStringLiteral("alice"),
                                                     QDateTime::currentDateTimeUtc());
        if (!conversation.addMessage(conversation.viewRoot(), message, "text of " + message->id.toUtf8(), true))
            return 4;
        std::printf("%s\n", qPrintable(message->id));
        std::fflush(stdout);
        if (foldInterval > 0 && n % foldInterval == 0 && !conversation.saveConversation())
            return 5;
    }
}
