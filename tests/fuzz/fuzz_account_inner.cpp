// The unsealed account form, as it comes out of a seal that opened: a record
// holding the trees' texts and the account's own record.
#include "WivoraAccount.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QSharedPointer<WivoraAccount> account = WivoraAccount::fromInnerBytes(bytes);
    // What parsed must write back and parse again to the same account.
    if (account) {
        const QByteArray again = account->toInnerBytes();
        const QSharedPointer<WivoraAccount> reparsed = WivoraAccount::fromInnerBytes(again);
        if (!again.isEmpty() && (!reparsed || reparsed->toInnerBytes() != again))
            abort();
    }
    return 0;
}
