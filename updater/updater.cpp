#include "updater.h"
#include "ui_updater.h"

#include "install.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QTimer>

#include <cstdio>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// Paths relative to the updater's own directory, which lies inside the installation.
const char stagingDirPath[] = "../_update";
const char installDirPath[] = "../";
const char mainAppPath[] = "../Quillmoor.exe";

constexpr int firstAttemptDelay = 3000;
constexpr int retryDelay = 1000;

// The path in the local 8-bit encoding. On Windows a character outside the ANSI code page
// becomes "?", never the look-alike letter Windows' best-fit mapping would pick ("Ω" as
// "O"), which would print another, valid-looking path.
QByteArray forStandardOutput(const QString &path)
{
#ifdef Q_OS_WIN
    // UTF-8 as the ANSI code page (a system setting) maps everything and takes no flag.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const auto text = reinterpret_cast<const wchar_t *>(path.utf16());
    const int size = WideCharToMultiByte(CP_ACP, flags, text, int(path.size()), nullptr, 0,
                                         nullptr, nullptr);
    QByteArray bytes(size, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, flags, text, int(path.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
#else
    return path.toLocal8Bit();
#endif
}

} // namespace

Updater::Updater(QWidget *parent)
    : QWidget(parent)
{
    Ui::UpdaterClass().setupUi(this);
    // Precise: a coarse timer may fire up to 5% early, and the wait is there to let the main
    // application finish closing.
    QTimer::singleShot(firstAttemptDelay, Qt::PreciseTimer, this, SLOT(performUpdate()));
}

Updater::~Updater() = default;

void Updater::performUpdate()
{
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    QDir sourceDir(QString::fromLatin1(stagingDirPath));
    QDir targetDir(QString::fromLatin1(installDirPath));

    const QByteArray installPath = forStandardOutput(targetDir.absolutePath());
    std::fwrite(installPath.constData(), 1, size_t(installPath.size()), stdout);
    std::fflush(stdout);

    // One updater at a time per installation: a second one (a double click, a launcher that
    // retries) touches nothing while this one works. A killed holder's lock is stale.
    QLockFile lock(targetDir.absolutePath() + QLatin1Char('/') + install::lockFileName());
    lock.setStaleLockTime(0);
    if (lock.tryLock(0) && copyAllFiles(sourceDir, targetDir)) {
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
    // One transaction: afterwards the installation is entirely old or entirely new.
    install::Transaction transaction(sourceDir.absolutePath(), targetDir.absolutePath());
    return transaction.run();
}

bool Updater::removeAllFiles(QDir &dir)
{
    using install::sys::Type;
    const QString root = dir.absolutePath();
    const Type rootType = install::sys::typeOf(root, false);
    if (rootType == Type::Link)
        return install::sys::removeFile(root); // the link, not what it points to
    if (rootType != Type::Dir)
        return true; // no directory: nothing to remove

    // Hidden and system entries stay, and so does every directory above them. A link,
    // dangling or not, is removed as a link.
    std::vector<install::sys::Entry> entries;
    bool removed = install::sys::list(root, entries);
    for (const install::sys::Entry &entry : entries) {
        if (!removed)
            break;
        if (entry.hidden || entry.type == Type::Other)
            continue;
        const QString path = root + QLatin1Char('/') + entry.name;
        if (entry.type == Type::Dir) {
            QDir subDir(path);
            removed = removeAllFiles(subDir);
        } else {
            removed = install::sys::removeFile(path);
        }
    }
    // Tried even after a failure; it only succeeds on an empty directory.
    const bool rootRemoved = install::sys::removeDir(root);
    return removed && rootRemoved;
}

bool Updater::runFile(const QString &path)
{
    const QString nativePath = QDir::toNativeSeparators(path);
    return shellExecuteFile(nullptr, reinterpret_cast<const ShellChar *>(nativePath.utf16()),
                            nullptr, nullptr) != 0;
}
