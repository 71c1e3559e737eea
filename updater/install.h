// The install unit: one attempt of the update cycle (the lock that keeps one updater at a
// time in an installation, the clean-up of what earlier runs left, the transaction that puts
// the staged release over the installation, the staging tree's removal, and, after the
// launch, the freeing of the old release's files). The window asks for attempts and touches
// no file itself. How the transaction works: install_p.h.
//
// Parts, backups, the marker and the list carry names of the updater's own (".qu-p1",
// ".qu-b1", ".qu-commit", ".qu-dirs"), hidden on Unix, recognised by name everywhere. One that
// a run could not remove is removed by a later one: the list says where to look.
#ifndef QUILLMOOR_INSTALL_H
#define QUILLMOOR_INSTALL_H

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <memory>

namespace install {

// Why an attempt failed goes here (once per distinct failure); standard output is the
// installation path alone.
Q_DECLARE_LOGGING_CATEGORY(lcUpdater)

// The lock file that keeps a second updater out of the installation.
QString lockFileName();
// The commit marker: present in the installation while an attempt is in its commit phase.
QString commitMarkerName();
// The list of the directories where an attempt makes names of its own; it stands until they
// are all gone again.
QString dirListName();
// True for a name the transaction gives its own entries (parts, backups, set-aside programs,
// respellings under way, the marker, the list).
bool isOwnName(const QString &name);

// What failed: the phase, the path it failed on and the system's reason.
struct Failure
{
    QString phase;
    QString path;
    QString reason;
};

// Writes the failure to the log unless this process has written the same one before.
void report(const Failure &failure);

// Where an update cycle works, all found from the updater's own directory and never from the
// working directory it was started in.
struct Places
{
    QString ownDir;            // the directory of the updater's own file
    QString root;              // the installation: the directory above it
    QString staging;           // the staged release: "_update" in the installation
    QString mainApp;           // "Quillmoor.exe" in the installation
    QString mainAppLaunchName; // how the shell is given it, from the own directory
};

// Finds the updater's own directory exactly and makes it the working directory. False, with
// the reason reported, when it cannot be found or entered: nothing is to be done then.
bool findPlaces(Places *places);

// The path as standard output carries it: its bytes as they are on POSIX; on Windows the
// ANSI code page, with "?" for a character it lacks.
QByteArray forStandardOutput(const QString &path);

// Held while an updater works in an installation; a second updater does not get it. A killed
// holder's lock is free at once, and an entry of the wrong kind at the lock's name is removed.
class Lock
{
public:
    explicit Lock(const QString &installRoot);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    bool isLocked() const { return m_handle != -1; }
    // Why the lock was not taken, when it was not.
    const Failure &failure() const { return m_failure; }

private:
    QString m_path;
    qintptr m_handle; // the system's: a descriptor on POSIX, a handle on Windows
    Failure m_failure;
};

class Transaction;

// One attempt of the update cycle in `places`: with the lock held, the leftovers of earlier
// runs go, the staged release is installed and the staging tree removed. The old release's
// files stay (under names of the updater's own, the lock still held) until freeOldFiles(),
// which the window calls once the main application runs; destroying the attempt frees them
// too. Every failure is reported.
class Attempt
{
public:
    explicit Attempt(const Places &places);
    ~Attempt();
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;

    // True once the new release is installed for good and the staging tree removed.
    bool run();
    // Frees what the installed release replaced (at the system's idle I/O priority where
    // there is one) and lets the lock go.
    void freeOldFiles();

private:
    Places m_places;
    std::unique_ptr<Lock> m_lock;
    std::unique_ptr<Transaction> m_transaction;
};

// Removes the names of the updater's own that earlier runs could not: in the installation
// root, in the directories the list of directories names and in `alsoIn` (the updater's own
// directory, where a replaced program that was still running was set aside). Needs the lock.
void removeLeftovers(const QString &installRoot, const QStringList &alsoIn);

// One transaction over the installation, its old files freed at once; the failure is
// reported. Needs the lock.
bool installRelease(const QString &stagingRoot, const QString &installRoot);

// Removes the staging tree: hidden and system entries stay, and so does every directory
// above them; links are removed as links. True when nothing is left; true for a missing tree.
bool removeStagingTree(const QString &root);

} // namespace install

#endif // QUILLMOOR_INSTALL_H
