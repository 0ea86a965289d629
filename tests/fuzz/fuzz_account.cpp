// Opens arbitrary text as a stored account ("account.acc" or the server's
// copy). Almost every input fails at the seal; fuzz_account_inner reaches
// the parser behind it.
#include "WivoraAccount.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    WivoraAccount account;
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), int(size));
    if (account.openAccount(text, QStringLiteral("fuzz-password"), true))
        account.saveAccount();
    return 0;
}
