#pragma once

#include <QByteArray>

// The body a client posts to upload a crash dump:
// "dumpdata=<Base64>&ver=<version>&platform=<platform>", where the Base64
// text is sent without URL encoding but with every "+" written as "{p}".
namespace CrashDumpForm {

// The dump's bytes. Returns false when the body has no "dumpdata" field or
// its value is not Base64.
bool decode(const QByteArray &body, QByteArray *dump);

} // namespace CrashDumpForm
