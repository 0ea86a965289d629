#include "WebServerLimits.h"

#include <QtGlobal>

#include <algorithm>

namespace {

void shortenWebLimitFromEnvironment(const char *variable, std::chrono::milliseconds *limit)
{
    bool ok = false;
    const int milliseconds = qEnvironmentVariableIntValue(variable, &ok);
    if (ok && milliseconds > 0)
        *limit = std::chrono::milliseconds(milliseconds);
}

} // namespace

std::size_t WebServerLimits::downloadSliceBytes() const
{
    return std::size_t(std::max<qint64>(1, minDownloadBytesPerSecond * downloadRateWindow.count() / 1000));
}

WebServerLimits WebServerLimits::fromEnvironment()
{
    WebServerLimits limits;
    shortenWebLimitFromEnvironment("WIVORA_WEB_READ_TIME_LIMIT_MS", &limits.readTimeout);
    shortenWebLimitFromEnvironment("WIVORA_WEB_DOWNLOAD_RATE_WINDOW_MS", &limits.downloadRateWindow);
    return limits;
}
