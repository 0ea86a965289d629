// Runs a fuzz target without libFuzzer: every file named on the command line,
// and every file of every folder named there, goes to LLVMFuzzerTestOneInput
// once, in name order. Fails when it found no input at all, so a corpus that
// went missing does not pass unnoticed.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        if (!QFileInfo(path).isDir()) {
            files << path;
            continue;
        }
        const QDir folder(path);
        for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden, QDir::Name))
            files << folder.filePath(name);
    }
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        // A copy of exactly the input's size, so that reading past its end is
        // caught where libFuzzer would catch it.
        const std::unique_ptr<uint8_t[]> data(new uint8_t[size_t(bytes.size())]);
        std::memcpy(data.get(), bytes.constData(), size_t(bytes.size()));
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.get(), size_t(bytes.size()));
    }
    std::printf("%d inputs\n", int(files.size()));
    return files.isEmpty() ? 1 : 0;
}
