// The install unit: the lock that keeps one updater at a time in an installation, the
// transaction that puts a staged release over it, the removal of the staging tree, and the
// clean-up of what earlier runs left.
//
// The transaction leaves the installation entirely the old release after any failed
// attempt, and entirely the new after a successful one:
//
//   stage   the staged tree is walked and every decision taken (leftovers of earlier runs in
//           the directories walked are removed); the directories where the attempt makes
//           names of its own are listed (".qu-dirs"); then every staged file gets a
//           part beside its target (a hard link to the staged file where the file system
//           allows, a copy otherwise), and a directory the installation lacks is staged whole
//           under a part name
//   sync    the parts' data (and the list) is made durable
//   commit  each part replaces its target in one rename that keeps the old file for undo
//           (steps on a thread per core, respellings after them, in order); each step
//           records how it was committed, and a failure undoes exactly that, last first; the
//           commit marker (".qu-commit") stands while this phase runs
//   finish  the new names are made durable, the old files dropped, the staged names of linked
//           files removed (nothing left in the staging tree shares its data with the
//           installation), and once that is durable too, the list goes
//
// Parts, backups, the marker and the list carry names of the updater's own (".qu-p1",
// ".qu-b1", ".qu-commit", ".qu-dirs"), hidden on Unix, recognised by name everywhere. One that
// a run could not remove is removed by a later one: the list says where to look.
#ifndef QUILLMOOR_INSTALL_H
#define QUILLMOOR_INSTALL_H

#include "install_sys.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <atomic>
#include <vector>

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
// True for a name the transaction gives its own entries (parts, backups, marker, list).
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

    bool isLocked() const { return m_handle != sys::noLock; }
    // Why the lock was not taken, when it was not.
    const Failure &failure() const { return m_failure; }

private:
    QString m_path;
    sys::LockHandle m_handle;
    Failure m_failure;
    std::vector<Failure> m_undoFailures;
};

// Removes the names of the updater's own that earlier runs could not: in the directories the
// list of directories names and in `alsoIn` (the updater's own directory, where a replaced program
// that was still running was set aside). Needs the lock.
void removeLeftovers(const QString &installRoot, const QStringList &alsoIn);

// One attempt at installing the staged release; the failure is reported. Needs the lock.
bool installRelease(const QString &stagingRoot, const QString &installRoot);

// Removes the staging tree: hidden and system entries stay, and so does every directory
// above them; links are removed as links. True when nothing is left; true for a missing tree.
bool removeStagingTree(const QString &root);

class Transaction
{
public:
    Transaction(const QString &stagingRoot, const QString &installRoot);
    // An attempt that did not finish is rolled back.
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // Each phase returns false on failure, after which only rollBack() makes sense.
    bool stage();
    bool sync();
    bool commit();
    bool finish();
    // Undoes the commits made so far, last first, and removes every part, backup and
    // directory of this attempt.
    void rollBack();

    // All phases; on failure the installation is as it was.
    bool run();

    // Why the attempt failed; empty when it did not.
    const Failure &failure() const { return m_failure; }
    // The steps rollBack() could not undo, each with its reason.
    const std::vector<Failure> &undoFailures() const { return m_undoFailures; }
    // For tests: the parts, in the order they are committed.
    QStringList parts() const;

private:
    // Respell gives an installed entry the release's spelling of its name (Windows: a name
    // whose case alone changed), after the steps inside that entry.
    enum class Kind : unsigned char { File, Link, Dir, Respell };

    // A directory the attempt makes names in.
    struct Dir
    {
        QString path;        // where it is now (a new directory: inside its part)
        QString installedAs; // where it is once committed
        sys::FileId id;      // what the walk listed there (an installed directory)
        bool isNew;
    };

    // A staged directory, and what the walk listed there.
    struct Source
    {
        QString path;
        sys::FileId id;
    };

    // One staged entry. A step is committed by one rename of its part over (or next to) its
    // target; an entry inside a new directory is made at its own name there and appears
    // with that directory's commit.
    struct Item
    {
        QString name;
        int source = -1;      // the staged directory holding it (m_sources)
        int dir = -1;         // the directory it is made in (m_dirs)
        quint32 number = 0;   // a step's own names: part ".qu-p<n>", backup ".qu-b<n>";
                              // a respelling's index in m_spellings
        Kind kind = Kind::File;
        bool isStep = false;
        bool replaces = false;   // a step whose target exists
        bool committed = false;
        bool linked = false;     // a file made as a second name of the staged file
        sys::Undo undo = sys::Undo::None;
        sys::Result made = sys::Result::Failed;
        bool sourceFailed = false; // the staged entry could not be read
        int error = 0;
    };

    bool planDir(int source, int dir);
    bool planEntry(const sys::Entry &entry, int source, int dir, const sys::Entry &installed);
    bool planDirectory(const QString &stagedName, const sys::Entry &installed, int source, int dir);
    void addRespell(int dir, const QString &from, const QString &to);
    int addDir(const QString &path, const QString &installedAs, bool isNew);
    bool removeLeftoversIn(const QString &dir, const std::vector<sys::Entry> &entries);
    // Lists the installed directories the attempt makes own names in (and, with
    // `withNewDirs`, the new ones too) and those earlier runs left names in.
    bool writeDirList(bool withNewDirs);
    bool makeDirectories();
    bool makeFiles();
    void makeFile(Item &item);

    QStringList installedDirs() const;
    bool checkTargets();
    bool commitStep(Item &item);
    void dropOldFiles();
    bool replaceWithOwnCopy(const QString &installed);

    QString sourcePath(const Item &item) const;
    QString madePath(const Item &item) const;
    QString installedPath(const Item &item) const;
    QString backupPath(const Item &item) const;
    QString respelledPath(const Item &item) const;
    QString respellViaPath(const Item &item) const;
    QString asidePath(const Item &item) const;
    QString ownPath(const QString &dir, char kind, quint32 number) const;
    quint32 freshNumber();
    bool fail(const QString &phase, const QString &path, int error);
    bool fail(const QString &phase, const QString &path, const QString &reason);

    QString m_staging;
    QString m_install;
    std::vector<Source> m_sources;
    std::vector<Dir> m_dirs;
    std::vector<Item> m_items;
    QStringList m_spellings; // the release's spelling of each respelled entry
    QStringList m_carried; // list lines of earlier runs whose leftovers are still there
    std::atomic<quint32> m_nextNumber{0};
    bool m_leftovers = false; // some own name could not be removed: the list stays
    bool m_done = false;
    Failure m_failure;
    std::vector<Failure> m_undoFailures;
};

} // namespace install

#endif // QUILLMOOR_INSTALL_H
