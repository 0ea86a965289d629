#include "ConversationView.h"

#include "BenchFigures.h"
#include "WMailConversation.h"
#include "WMailConversationPage.h"
#include "WMailRenderer.h"
#include "WMailResources.h"
#include "WTalkRendererWebView.h"

#include <KvrConfig.h>
#include <WUtilities.h>

#include <QDataStream>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWebFrame>
#include <QWebView>

#include <cstdio>

namespace {

constexpr int kRuns = 3;

QByteArray block(const QByteArray &bytes)
{
    return WUtilities::intToByteArray(bytes.size()) + bytes;
}

// The conversation as the program leaves it, with a text item in the heap
// for every message: words, a link and an emoticon.
bool writeConversation(const QString &folder, int kMessages)
{
    WMailConversation conversation(folder, QStringLiteral("bob"));
    conversation.initialise(QStringLiteral("bob"), QStringLiteral("alice"), {QStringLiteral("bob")});
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-kMessages);
    QStringList ids;
    KvrConfig offsets;
    QByteArray heap;
    for (int i = 0; i < kMessages; ++i) {
        const auto message = conversation.newMessage(QStringLiteral("text"),
                                                     i % 2 ? QStringLiteral("alice") : QStringLiteral("bob"),
                                                     start.addSecs(i));
        message->localTime = start.addSecs(i);
        conversation.viewRoot()->appendChild(message);
        ids << message->id;
        offsets.sv(message->id + QStringLiteral("-preview"), QString::number(heap.size()));
        heap += block("Message <b>" + QByteArray::number(i) + "</b> :) see http://example.org/" + QByteArray::number(i));
    }
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << conversation.name() << conversation.title() << start << start << false << false << conversation.owner()
        << qint32(2) << QStringLiteral("alice") << QStringLiteral("bob") << qint32(ids.size());
    for (const QString &id : qAsConst(ids))
        out << id;
    out << KvrConfig().SerializeConfigBinary();

    QFile file(conversation.conversationPath());
    QFile heapFile(conversation.heapPath());
    const QByteArray content =
        block(header) + block(conversation.root()->serializeStructure()) + block(offsets.SerializeConfigBinary());
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && heapFile.open(QIODevice::WriteOnly) && heapFile.write(heap) == heap.size();
}

bool atNewest(QWebFrame *frame)
{
    return frame->scrollBarMaximum(Qt::Vertical) > 0
        && frame->scrollPosition().y() == frame->scrollBarMaximum(Qt::Vertical);
}

// Opens a conversation of `messages` messages in the chat page, the whole
// conversation chosen; prints the figure.
bool measureOpening(int messages)
{
    QTemporaryDir dir;
    if (!dir.isValid() || !writeConversation(dir.path(), messages))
        return false;

    const std::vector<qint64> loads = BenchFigures::timedRuns(1, kRuns, [&] {
        WMailConversation conversation(dir.path(), QStringLiteral("bob"));
        return conversation.load() && conversation.viewRoot()->children.size() == messages;
    });
    const std::vector<qint64> views = BenchFigures::timedRuns(1, kRuns, [&] {
        WMailRenderer page;
        page.resize(800, 600);
        page.show();
        auto conversation = WMailConversation::Pointer::create(dir.path(), QStringLiteral("bob"));
        if (!conversation->load())
            return false;
        conversation->setNumberOfShownItems(-1); // the whole conversation chosen
        page.setConversation(conversation);
        QWebFrame *frame = page.webView()->page()->mainFrame();
        return QTest::qWaitFor([&] { return atNewest(frame); }, 60000)
            && frame->evaluateJavaScript("$('#mainstorage').children().length").toInt()
            == qMin(messages, WMailConversationPage::PageSize) + 1;
    });
    if (loads.empty() || views.empty())
        return false;
    const QString what = QStringLiteral("open %1-message conversation in the chat page, scrolled to its end (p50)")
                             .arg(messages);
    BenchFigures::printFigure(qPrintable(what), BenchFigures::percentiles(views, BenchFigures::kMillisecond).p50,
                              "ms", "load its file without the page",
                              BenchFigures::percentiles(loads, BenchFigures::kMillisecond).p50);
    return true;
}

} // namespace

bool measureConversationView()
{
    WMailResources::initialise();
    return measureOpening(10000) && measureOpening(100000);
}
