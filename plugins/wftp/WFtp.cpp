#include "WFtp.h"

#include <LocalAccountProvider.h>
#include <WFtpProtocol.h>

#include <IWHost.h>
#include <WivoraAccount.h>

using namespace WFtpProtocol;

WFtp::WFtp()
{
    m_parser.setThumbnailSink([this](const KvrConfig &request, const QString &folderPath, const QString &row) {
        pushThumbnail(request, folderPath, row);
    });
}

WFtp::~WFtp()
{
    // Thumbnail tasks push through this object: let them end first.
    m_parser.engine()->thumbnailScheduler().waitForDone();
}

QImage WFtp::getPluginIcon()
{
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(Qt::darkGreen);
    return icon;
}

bool WFtp::setHostInterface(IWHost *host)
{
    m_host.store(host);
    m_provider = QSharedPointer<LocalAccountProvider>::create(host);
    m_parser.engine()->setAccountProvider(m_provider);
    return true;
}

void WFtp::closePlugin()
{
    m_parser.engine()->closeAllFiles();
}

void WFtp::commandReceived(const QString &id, const QString &command)
{
    const bool web = CommandParser::isWebRequest(command);
    // Replies and pushes are the request client's; the rest that names us is
    // a request (in any letter case: a wrong one is answered with a refusal).
    if (!web && (!command.toLower().contains(RequestPrefix) || command.contains(ReplySuffix)))
        return;
    IWHost *const host = m_host.load();
    if (!host)
        return;
    const KvrConfig request = host->takeInputCommand(id);
    if (request.isEmpty())
        return;
    const KvrConfig reply = m_parser.PerformCommand(request);
    if (web) {
        // One that carries routing keys came from a peer: nobody to answer.
        if (request.gv(KeySender).isEmpty())
            host->sendServerCommand(reply);
        return;
    }
    // Nobody to answer when no authenticated link brought the request.
    const QString sender = request.gv(KeySender);
    const QString connectionId = request.gv(KeyConnectionId);
    if (sender.isEmpty() || connectionId.isEmpty())
        return;
    host->sendCommand(reply, sender, request.gv(KeyConnection) != QLatin1String("0"), connectionId);
}

void WFtp::pushThumbnail(const KvrConfig &request, const QString &folderPath, const QString &row)
{
    IWHost *const host = m_host.load();
    if (!host)
        return;
    KvrConfig push;
    push.SetID();
    push.sv(KeyCommand, ThumbnailPush);
    push.sv(KeyUser, host->getAccount()->getUserName());
    push.sv(KeyPath, folderPath);
    push.sv(KeyThumbnail, row);
    // Back on the link that carried the listing, to the user it authenticated.
    host->sendCommand(push, request.gv(KeySender), request.gv(KeyConnection) != QLatin1String("0"),
                      request.gv(KeyConnectionId));
}
