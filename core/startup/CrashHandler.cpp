#include "CrashHandler.h"

#include "ClientVersion.h"

#include <PSettings.h>
#include <PrivateFiles.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// A few spare names in case one is taken; 128 random bits make that rare.
constexpr int kNameCount = 4;
constexpr size_t kMaxPathLength = 4096;
constexpr int kMaxFrames = 64;
constexpr size_t kAlternateStackSize = 64 * 1024;

char g_dumpPaths[kNameCount][kMaxPathLength];
std::atomic<int> g_nextDumpPath{0};
std::atomic<bool> g_handling{false};
alignas(16) char g_alternateStack[kAlternateStackSize];

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= size_t(written);
    }
}

void writeText(int fd, const char *text)
{
    writeAll(fd, text, strlen(text));
}

void writeDecimal(int fd, int value)
{
    char digits[16];
    int at = sizeof digits;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        digits[--at] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (value < 0)
        digits[--at] = '-';
    writeAll(fd, digits + at, sizeof digits - size_t(at));
}

void writeHex(int fd, uintptr_t value)
{
    char digits[2 * sizeof value];
    for (int at = int(sizeof digits) - 1; at >= 0; --at, value >>= 4)
        digits[at] = "0123456789abcdef"[value & 0xf];
    writeText(fd, "0x");
    writeAll(fd, digits, sizeof digits);
}

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

int openDumpFile()
{
    for (int index = g_nextDumpPath.fetch_add(1); index < kNameCount; index = g_nextDumpPath.fetch_add(1)) {
        const int fd = ::open(g_dumpPaths[index], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
    }
    return -1;
}

void writeDump(int signal, const void *address)
{
    const int fd = openDumpFile();
    if (fd < 0)
        return;
    writeText(fd, "signal=");
    writeDecimal(fd, signal);
    writeText(fd, " ");
    writeText(fd, signalName(signal));
    writeText(fd, "\naddress=");
    writeHex(fd, reinterpret_cast<uintptr_t>(address));
    writeText(fd, "\nprod=");
    writeText(fd, ClientVersion::Product);
    writeText(fd, "\nver=");
    writeText(fd, ClientVersion::Version);
    writeText(fd, "\nbacktrace:\n");
    void *frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
}

void onFatalSignal(int signal, siginfo_t *info, void *)
{
    if (g_handling.exchange(true)) {
        // Another thread is writing its report and will end the process.
        for (;;)
            pause();
    }
    writeDump(signal, info ? info->si_addr : nullptr);

    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // Delivered when the handler returns; a fault that re-occurs ends the
    // process the same way.
    raise(signal);
}

} // namespace

QString CrashHandler::defaultDumpsFolder()
{
    return PSettings::GetSettingsFolder() + QStringLiteral("/dumps");
}

bool CrashHandler::install(const QString &dumpsFolder)
{
    // Owner-only, with the reports already there: they hold addresses of the
    // process. A folder that cannot be made only costs the report.
    PrivateFiles::makeFolder(dumpsFolder);
    PrivateFiles::repair(dumpsFolder, true);
    const QByteArray folder = QFile::encodeName(QDir(dumpsFolder).absolutePath());
    for (int index = 0; index < kNameCount; ++index) {
        quint32 random[4];
        QRandomGenerator::system()->fillRange(random);
        const QByteArray path = folder + '/'
                                + QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex()
                                + ".dmp";
        if (size_t(path.size()) >= kMaxPathLength)
            return false;
        memcpy(g_dumpPaths[index], path.constData(), size_t(path.size()) + 1);
    }
    g_nextDumpPath = 0;

    // The first call of backtrace() loads the unwinder, which allocates:
    // never let that happen inside the handler.
    void *frame[1];
    backtrace(frame, 1);

    stack_t alternate;
    memset(&alternate, 0, sizeof alternate);
    alternate.ss_sp = g_alternateStack;
    alternate.ss_size = kAlternateStackSize;
    sigaltstack(&alternate, nullptr);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    bool installed = true;
    for (const int signal : kFatalSignals)
        installed = sigaction(signal, &action, nullptr) == 0 && installed;
    return installed;
}
