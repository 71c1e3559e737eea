#include "updater.h"
#include "ui_updater.h"

#include "install.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

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
    // retries) touches nothing while this one works.
    const install::Lock lock(targetDir.absolutePath());
    if (!lock.isLocked()) {
        install::report(lock.failure());
    } else {
        // A set-aside program of an earlier update lies in the updater's own directory.
        install::removeLeftovers(targetDir.absolutePath(), { QCoreApplication::applicationDirPath() });
        if (copyAllFiles(sourceDir, targetDir)) {
            removeAllFiles(sourceDir);
            QTimer::singleShot(0, this, SLOT(startMainApp()));
            return;
        }
    }
    QTimer::singleShot(retryDelay, this, SLOT(performUpdate()));
}

void Updater::startMainApp()
{
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    const QString mainApp = QDir(QString::fromLatin1(mainAppPath)).absolutePath();
    if (runFile(mainApp)) {
        QCoreApplication::exit(0);
        return;
    }
    install::report({ QStringLiteral("launch"), mainApp, QStringLiteral("the system did not start it") });
    QTimer::singleShot(retryDelay, this, SLOT(startMainApp()));
}

bool Updater::copyAllFiles(QDir &sourceDir, QDir &targetDir)
{
    // One transaction: afterwards the installation is entirely old or entirely new.
    return install::installRelease(sourceDir.absolutePath(), targetDir.absolutePath());
}

bool Updater::removeAllFiles(QDir &dir)
{
    return install::removeStagingTree(dir.absolutePath());
}

bool Updater::runFile(const QString &path)
{
    const QString nativePath = QDir::toNativeSeparators(path);
    return shellExecuteFile(nullptr, reinterpret_cast<const ShellChar *>(nativePath.utf16()),
                            nullptr, nullptr) != 0;
}
