#include "PrivateDataFolder.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr mode_t FolderMode = 0700;
constexpr mode_t FileMode = 0600;

QString reasonOf(const std::error_code &error)
{
    return QString::fromStdString(error.message()).toLower();
}

bool makePrivate(const fs::path &path, mode_t mode, QString *error)
{
    if (::chmod(path.c_str(), mode) == 0)
        return true;
    *error = QStringLiteral("cannot make %1 private: %2")
                 .arg(QString::fromStdString(path.string()), QString::fromLocal8Bit(std::strerror(errno)).toLower());
    return false;
}

} // namespace

bool PrivateDataFolder::prepare(const QString &path, QString *error)
{
    const fs::path folder(QFile::encodeName(path).toStdString());
    std::error_code code;
    const fs::file_status status = fs::status(folder, code);
    if (status.type() == fs::file_type::not_found) {
        if (!fs::create_directories(folder, code) && code) {
            *error = QStringLiteral("cannot create the data folder %1: %2").arg(path, reasonOf(code));
            return false;
        }
    } else if (code) {
        *error = QStringLiteral("cannot open the data folder %1: %2").arg(path, reasonOf(code));
        return false;
    } else if (status.type() != fs::file_type::directory) {
        *error = QStringLiteral("the data folder %1 is not a folder").arg(path);
        return false;
    }
    return tighten(path, error);
}

bool PrivateDataFolder::tighten(const QString &path, QString *error)
{
    const fs::path folder(QFile::encodeName(path).toStdString());
    if (!makePrivate(folder, FolderMode, error))
        return false;
    if (::access(folder.c_str(), R_OK | W_OK | X_OK) != 0) {
        *error = QStringLiteral("cannot open the data folder %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)).toLower());
        return false;
    }
    std::error_code code;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, code);
    for (; !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        const fs::file_status status = it->symlink_status(code);
        if (code)
            break;
        if (status.type() == fs::file_type::directory) {
            if (!makePrivate(it->path(), FolderMode, error))
                return false;
        } else if (status.type() == fs::file_type::regular) {
            if (!makePrivate(it->path(), FileMode, error))
                return false;
        }
    }
    if (code) {
        *error = QStringLiteral("cannot read the data folder %1: %2").arg(path, reasonOf(code));
        return false;
    }
    return true;
}
