// Feeds arbitrary records to the file-sharing request server, as if a peer's
// link or the web server had brought them, over a real share in a temporary
// folder. Whatever the record asks, nothing outside the share may change.
#include "WFtpFuzzShare.h"

#include <CommandParser.h>
#include <WFtpProtocol.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static WFtpFuzzShare *share = [] {
        auto *created = new WFtpFuzzShare;
        return created;
    }();
    static CommandParser *parser = [] {
        auto *created = new CommandParser;
        created->engine()->setAccountProvider(QSharedPointer<WFtpFuzzShare>(share, [](WFtpFuzzShare *) {}));
        share->share(*created->engine());
        return created;
    }();

    KvrConfig request;
    if (!request.DeserializeConfigBinary(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))))
        return 0;
    const KvrConfig reply = parser->PerformCommand(request);
    if (reply.GetValue(WFtpProtocol::KeyId) != request.GetValue(WFtpProtocol::KeyId))
        abort();
    // Keep the opened-file table from filling up over the run.
    if (parser->engine()->openedFileCount() > 200)
        parser->engine()->closeAllFiles();
    share->checkOutsideUntouched();
    return 0;
}
