#include "updater.h"
#include "ui_updater.h"

#include "install.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int firstAttemptDelay = 3000;
constexpr int retryDelay = 1000;

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
    // Every path from the updater's own directory, found exactly: an inherited working
    // directory, or a name the system would decode lossily, must never lead elsewhere.
    install::Places places;
    if (!install::findPlaces(&places)) {
        QTimer::singleShot(retryDelay, this, SLOT(performUpdate()));
        return;
    }
    const QByteArray installPath = install::forStandardOutput(places.root);
    std::fwrite(installPath.constData(), 1, size_t(installPath.size()), stdout);
    std::fflush(stdout);

    auto attempt = std::make_unique<install::Attempt>(places);
    if (attempt->run()) {
        m_attempt = std::move(attempt);
        QTimer::singleShot(0, this, SLOT(startMainApp()));
        return;
    }
    QTimer::singleShot(retryDelay, this, SLOT(performUpdate()));
}

void Updater::startMainApp()
{
    install::Places places;
    if (install::findPlaces(&places)) {
        const bool launched = runFile(places.mainAppLaunchName);
        // What the release replaced goes now, behind the main application where it starts:
        // the user waits for that, not for the old files.
        if (m_attempt) {
            m_attempt->freeOldFiles();
            m_attempt.reset();
        }
        if (launched) {
            QCoreApplication::exit(0);
            return;
        }
        install::report({ QStringLiteral("launch"), places.mainApp, QStringLiteral("the system did not start it") });
    }
    QTimer::singleShot(retryDelay, this, SLOT(startMainApp()));
}

bool Updater::copyAllFiles(QDir &sourceDir, QDir &targetDir)
{
    // One transaction: afterwards the installation is entirely old or entirely new.
    return install::installRelease(sourceDir.absolutePath(), targetDir.absolutePath());
}

// The staging tree's removal on its own; an attempt removes it after installing.
bool Updater::removeAllFiles(QDir &dir)
{
    return install::removeStagingTree(dir.absolutePath());
}

bool Updater::runFile(const QString &path)
{
    // Started in the working directory, the updater's own, which findPlaces made current.
    return shellExecuteFile(nullptr, reinterpret_cast<const ShellChar *>(path.utf16()), nullptr, nullptr) != 0;
}
