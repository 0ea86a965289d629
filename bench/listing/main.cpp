// A shared folder of 10 000 entries listed by the file-sharing engine, whole
// (as the owner's own browser lists it) and page by page as a contact gets it
// in listing replies, beside readdir + stat of the same folder in the same
// run. Ratios below 3 meet the target.

#include "BenchFigures.h"

#include <IAccountProvider.h>
#include <WFtpEngine.h>
#include <WivoraAccount.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr int kEntries = 10000;

class BenchAccount : public IAccountProvider
{
public:
    BenchAccount() { m_account->setUserName(QStringLiteral("alice")); }
    QSharedPointer<WivoraAccount> getAccount() override { return m_account; }
    void saveAccount() override {}
    bool isLocal() override { return true; }

private:
    QSharedPointer<WivoraAccount> m_account = QSharedPointer<WivoraAccount>::create();
};

// What a listing costs at least: every entry's name and its metadata.
bool readdirAndStat(const QByteArray &folder, qint64 *seen)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    qint64 count = 0;
    struct stat info {};
    while (dirent *entry = ::readdir(dir)) {
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            ++count;
    }
    ::closedir(dir);
    *seen = count;
    return true;
}

} // namespace

int main()
{
    QTemporaryDir root;
    const QString folder = root.path() + QStringLiteral("/share");
    QDir().mkpath(folder);
    for (int i = 0; i < kEntries; ++i) {
        const QString name = QStringLiteral("%1/entry %2%3").arg(folder).arg(i, 5, 10, QLatin1Char('0'))
                                 .arg(i % 10 == 0 ? QString() : QStringLiteral(".dat"));
        if (i % 10 == 0) {
            QDir().mkdir(name);
        } else {
            QFile file(name);
            if (!file.open(QIODevice::WriteOnly) || file.write("x") != 1)
                return 1;
        }
    }

    auto account = QSharedPointer<BenchAccount>::create();
    WFtpEngine engine(account);
    const QString disc = engine.addSharedDisc(folder, QStringLiteral("bench"));
    auto grant = QSharedPointer<WDataStructure>::create();
    grant->sv(QStringLiteral("section"), QStringLiteral("bob"));
    grant->sv(QStringLiteral("read"), QStringLiteral("1"));
    grant->sv(QStringLiteral("permanent"), QStringLiteral("1"));
    engine.addPermittedUser(grant, disc, QStringLiteral("root"));
    const QString path = QStringLiteral("vls/alice/") + disc + QStringLiteral("/root");

    // Alternate the two, so both see the same caches and the same load.
    const QByteArray local = QFile::encodeName(folder);
    qint64 characters = 0;
    qint64 seen = 0;
    int pages = 0;
    std::vector<qint64> listed;
    std::vector<qint64> paged;
    std::vector<qint64> baseline;
    for (int round = 0; round < 25; ++round) {
        const auto one = BenchFigures::timedRuns(round == 0 ? 2 : 0, 1, [&] {
            const QString text = engine.listDirectory(path, QStringLiteral("bob")).SerializeStructure();
            characters = text.size();
            return !text.isEmpty();
        });
        // Every page in turn, each written as the reply's "list".
        const auto walk = BenchFigures::timedRuns(round == 0 ? 2 : 0, 1, [&] {
            QString after;
            pages = 0;
            do {
                const WFtpEngine::ListingPage page = engine.listDirectoryPage(path, QStringLiteral("bob"), after);
                if (!page.ok || page.rows.SerializeStructure().isEmpty())
                    return false;
                after = page.next;
                ++pages;
            } while (!after.isEmpty());
            return true;
        });
        const auto raw = BenchFigures::timedRuns(round == 0 ? 2 : 0, 1, [&] { return readdirAndStat(local, &seen); });
        listed.insert(listed.end(), one.begin(), one.end());
        paged.insert(paged.end(), walk.begin(), walk.end());
        baseline.insert(baseline.end(), raw.begin(), raw.end());
    }
    if (listed.size() != 25 || paged.size() != 25 || baseline.size() != 25 || seen < kEntries)
        return 1;
    const auto listing = BenchFigures::percentiles(listed, BenchFigures::kMillisecond);
    const auto walked = BenchFigures::percentiles(paged, BenchFigures::kMillisecond);
    const auto raw = BenchFigures::percentiles(baseline, BenchFigures::kMillisecond);
    BenchFigures::printFigure("10000-entry folder listed as the listing record, median", listing.p50, "ms",
                              "readdir+stat", raw.p50, 2);
    BenchFigures::printFigure("10000-entry folder listed in reply pages, median", walked.p50, "ms", "readdir+stat",
                              raw.p50, 2);
    std::printf("listing record: %lld characters; %d reply pages\n", static_cast<long long>(characters), pages);
    return 0;
}
