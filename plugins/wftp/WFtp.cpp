#include "WFtp.h"

#include <WFtpCommands.h>
#include <WFtpProtocol.h>

#include <IWHost.h>
#include <WivoraAccount.h>

using namespace WFtpProtocol;

WFtp::WFtp()
{
    commandParser().setThumbnailSink([this](const KvrConfig &request, const QString &folderPath, const QString &row) {
        pushThumbnail(request, folderPath, row);
    });
}

WFtp::~WFtp()
{
    // Thumbnail tasks push through this object: let them end first.
    commandParser().engine()->thumbnailScheduler().waitForDone();
}

QImage WFtp::getPluginIcon()
{
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(Qt::darkGreen);
    return icon;
}

bool WFtp::setHostInterface(IWHost *host)
{
    m_main.setHost(host);
    return true;
}

void WFtp::commandReceived(const QString &id, const QString &command)
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    // The reply to a request that gave up waiting: nobody will take it.
    if (command.contains(ReplySuffix) && m_main.takeAbandoned(id)) {
        host->takeInputCommand(id);
        return;
    }
    if (WFtpCommands(m_main).processCallback(id, command))
        return;
    m_main.processCommand(id, command);
}

void WFtp::pushThumbnail(const KvrConfig &request, const QString &folderPath, const QString &row)
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    KvrConfig push = WFtpCommands::newRecord(ThumbnailPush);
    push.sv(KeyUser, m_main.userName());
    push.sv(KeyPath, folderPath);
    push.sv(KeyThumbnail, row);
    // Back on the link that carried the listing, to the user it authenticated.
    host->sendCommand(push, request.gv(KeySender), request.gv(KeyConnection) != QLatin1String("0"),
                      request.gv(KeyConnectionId));
}
