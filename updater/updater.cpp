#include "updater.h"
#include "ui_updater.h"

#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Paths relative to the updater's own directory, which lies inside the installation.
const char stagingDirPath[] = "../_update";
const char installDirPath[] = "../";
const char mainAppPath[] = "../Quillmoor.exe";

constexpr int firstAttemptDelay = 3000;
constexpr int retryDelay = 1000;

// Every staged file is first written under this name in its target directory and then
// renamed over the target, so the target always holds the whole old or the whole new file.
// The name is fixed: an attempt that was killed leaves at most one such file per directory,
// and the next attempt, which copies every file again, reuses it and renames it away.
const char partFileName[] = ".quillmoor-update.part";

QString partPathIn(const QString &targetDirPath)
{
    return targetDirPath + QLatin1Char('/') + QLatin1String(partFileName);
}

fs::path toFsPath(const QString &path)
{
    return fs::path(path.toStdU16String());
}

QFileInfoList listEntries(const QDir &dir)
{
    // No Hidden or System bit: such entries are neither copied nor removed.
    return dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
}

// A real symbolic link. QFileInfo::isSymLink() also answers true for Windows shortcuts,
// which are plain files to us.
bool isLink(const QFileInfo &entry)
{
    if (!entry.isSymLink())
        return false;
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(toFsPath(entry.absoluteFilePath()), error));
}

// Moves `partPath` over `targetPath` in one step (rename(2), MoveFileExW with
// MOVEFILE_REPLACE_EXISTING on Windows). A directory at the target makes it fail. The part
// file never outlives a failure.
bool commitPart(const QString &partPath, const QString &targetPath)
{
    std::error_code error;
    fs::rename(toFsPath(partPath), toFsPath(targetPath), error);
    if (error) {
        fs::remove(toFsPath(partPath), error);
        return false;
    }
    return true;
}

// Copies the staged file to a new part file with the staged file's permission bits.
// std::filesystem does it in the kernel where it can (sendfile on Linux), with a handful of
// system calls per file, which matters for releases of thousands of small files. The part
// file is always created new (O_EXCL): one left by a killed attempt is removed and the copy
// tried once more, and anything else that appears at that name, a link included, is never
// written through.
bool writePart(const QString &sourcePath, const QString &partPath)
{
    const fs::path source = toFsPath(sourcePath);
    const fs::path part = toFsPath(partPath);
    std::error_code error;
    if (fs::copy_file(source, part, fs::copy_options::none, error))
        return true;
    if (error == std::errc::file_exists) {
        std::error_code removeError;
        fs::remove(part, removeError);
        if (!removeError && fs::copy_file(source, part, fs::copy_options::none, error))
            return true;
    }
    // A failed copy may have left a partial file behind; it must not outlive the failure.
    std::error_code ignored;
    if (error != std::errc::file_exists)
        fs::remove(part, ignored);
    return false;
}

bool replaceFile(const QFileInfo &entry, const QString &targetDirPath, const QString &targetPath)
{
    const QString partPath = partPathIn(targetDirPath);
    return writePart(entry.absoluteFilePath(), partPath) && commitPart(partPath, targetPath);
}

// Recreates the link itself, with the text it holds, never what it points to.
bool replaceWithLink(const QFileInfo &entry, const QString &targetDirPath,
                     const QString &targetPath)
{
    std::error_code error;
    const fs::path linkText = fs::read_symlink(toFsPath(entry.absoluteFilePath()), error);
    if (error)
        return false;
    const QString partPath = partPathIn(targetDirPath);
    QFile::remove(partPath);
    if (entry.isDir())
        fs::create_directory_symlink(linkText, toFsPath(partPath), error);
    else
        fs::create_symlink(linkText, toFsPath(partPath), error);
    return !error && commitPart(partPath, targetPath);
}

bool removeLinkOrFile(const QString &path)
{
    std::error_code error;
    return fs::remove(toFsPath(path), error) && !error;
}

} // namespace

Updater::Updater(QWidget *parent)
    : QWidget(parent)
{
    Ui::UpdaterClass().setupUi(this);
    QTimer::singleShot(firstAttemptDelay, this, SLOT(performUpdate()));
}

Updater::~Updater() = default;

void Updater::performUpdate()
{
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    QDir sourceDir(QString::fromLatin1(stagingDirPath));
    QDir targetDir(QString::fromLatin1(installDirPath));

    const QByteArray installPath = targetDir.absolutePath().toLocal8Bit();
    std::fwrite(installPath.constData(), 1, size_t(installPath.size()), stdout);
    std::fflush(stdout);

    if (copyAllFiles(sourceDir, targetDir)) {
        removeAllFiles(sourceDir);
        QTimer::singleShot(0, this, SLOT(startMainApp()));
    } else {
        QTimer::singleShot(retryDelay, this, SLOT(performUpdate()));
    }
}

void Updater::startMainApp()
{
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    const QString mainApp = QDir(QString::fromLatin1(mainAppPath)).absolutePath();
    if (runFile(mainApp))
        QCoreApplication::exit(0);
    else
        QTimer::singleShot(retryDelay, this, SLOT(startMainApp()));
}

bool Updater::copyAllFiles(QDir &sourceDir, QDir &targetDir)
{
    if (!sourceDir.exists() || !targetDir.exists())
        return false;

    const QString targetDirPath = targetDir.absolutePath();
    const QFileInfoList entries = listEntries(sourceDir);
    for (const QFileInfo &entry : entries) {
        // The full name for directories too: a base name would send "lib.1.0" to "lib"
        // and ".cache" into its parent.
        const QString targetPath = targetDirPath + QLatin1Char('/') + entry.fileName();
        bool copied;
        if (isLink(entry)) {
            copied = replaceWithLink(entry, targetDirPath, targetPath);
        } else if (entry.isDir()) {
            QDir sourceSubDir(entry.absoluteFilePath());
            QDir targetSubDir(targetPath);
            if (!targetSubDir.exists())
                targetSubDir.mkpath(targetPath); // a failure shows in the call below
            copied = copyAllFiles(sourceSubDir, targetSubDir);
        } else {
            copied = replaceFile(entry, targetDirPath, targetPath);
        }
        if (!copied)
            return false;
    }
    return true;
}

bool Updater::removeAllFiles(QDir &dir)
{
    const QFileInfo root(dir.absolutePath());
    if (isLink(root))
        return removeLinkOrFile(root.absoluteFilePath()); // the link, not what it points to
    if (!dir.exists())
        return true;

    bool removed = true;
    const QFileInfoList entries = listEntries(dir);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !isLink(entry)) {
            QDir subDir(entry.absoluteFilePath());
            removed = removeAllFiles(subDir);
        } else {
            removed = removeLinkOrFile(entry.absoluteFilePath());
        }
        if (!removed)
            break;
    }
    // Tried even after a failure; it only succeeds on an empty directory.
    const bool rootRemoved = dir.rmdir(dir.absolutePath());
    return removed && rootRemoved;
}

bool Updater::runFile(const QString &path)
{
    const QString nativePath = QDir::toNativeSeparators(path);
    return shellExecuteFile(nullptr, reinterpret_cast<const ShellChar *>(nativePath.utf16()),
                            nullptr, nullptr) != 0;
}
