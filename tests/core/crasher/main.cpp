// A program that installs the crash handler and then dies the way its first
// argument names: "segv" (a write to address 0x10), "abort", "trap" (an
// illegal instruction) or "thread-segv" (the write on a second thread).

#include "CrashHandler.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <thread>

namespace {

void writeToLowAddress()
{
    volatile uintptr_t address = 0x10; // read at run time, so no compiler sees the fault coming
    *reinterpret_cast<volatile int *>(address) = 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!CrashHandler::install())
        return 2;

    const QString how = app.arguments().value(1);
    if (how == QLatin1String("segv"))
        writeToLowAddress();
    else if (how == QLatin1String("abort"))
        std::abort();
    else if (how == QLatin1String("trap"))
        __builtin_trap();
    else if (how == QLatin1String("thread-segv"))
        std::thread(writeToLowAddress).join();
    return 1;
}
