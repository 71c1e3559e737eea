// The install transaction: a staged release put over an installation so that after any
// failed attempt the installation is entirely the old release, and after a successful one
// entirely the new.
//
//   stage   every staged file gets a part beside its target (a hard link to the staged file
//           where the file system allows, a kernel copy otherwise); a directory the
//           installation lacks is staged whole under a part name; leftovers of a killed run
//           are removed first
//   sync    the parts' data is made durable
//   commit  each part replaces its target in one rename that keeps the old file for undo;
//           a failure undoes every commit of the attempt, last first
//   finish  the new names are made durable, the old files dropped, and the staged names of
//           linked files removed, so that nothing left in the staging tree shares its data
//           with the installation
//
// A part, a backup and the commit marker carry names of the updater's own (".qu-p1",
// ".qu-b1", ".qu-commit"), hidden on Unix, recognised by name everywhere.
#ifndef QUILLMOOR_INSTALL_H
#define QUILLMOOR_INSTALL_H

#include "install_sys.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <vector>

namespace install {

// The lock file that keeps a second updater out of the installation.
QString lockFileName();
// The commit marker: present in the installation while an attempt is in its commit phase.
QString commitMarkerName();
// True for a name the transaction gives its own entries (parts, backups, the marker).
bool isOwnName(const QString &name);

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

    // For tests: the parts, in the order they are committed.
    QStringList parts() const;

private:
    struct Step
    {
        // Respell gives the installed entry `part` the release's spelling `target` (Windows:
        // a name whose case alone changed); it comes after the steps inside that entry.
        enum Kind : unsigned char { File, Link, NewDir, Respell };
        Kind kind;
        bool replaces;    // a file or link is at the target
        sys::Undo undo;   // set once committed over an existing target
        bool committed;
        QString part;
        QString target;
        QString backup;   // used only when part and target cannot be swapped
    };

    // One staged file to link or copy; the walk queues them, stage() makes them in parallel.
    struct FileJob
    {
        QString from;
        QString dir;          // where its part goes, or (inside a new directory) the path itself
        QString made;         // the path made
        QString installedAs;  // where it is installed once committed
        sys::Type type;
        int step;             // its step, or -1 inside a new directory
        sys::Result result;
        bool linked;
    };

    bool checkTargets() const;
    bool stageDir(const QString &source, const QString &target, const QString &installedAs,
                  bool fresh);
    void runJob(FileJob &job);
    sys::Result stageFile(FileJob &job);
    QString ownName(const QString &dir, char kind);
    void releaseStagedNames();
    void dropBackups();

    QString m_staging;
    QString m_install;
    std::vector<Step> m_steps;
    QStringList m_written;  // files and new directories to make durable before the commit
    QStringList m_dirs;     // directories whose names change
    QStringList m_linked;   // staged names of linked files
    QStringList m_linkedTargets; // where each of them is installed
    std::vector<FileJob> m_jobs;
    std::atomic<int> m_nextName{0};
    bool m_linksWork = true;
    bool m_done = false;
};

} // namespace install

#endif // QUILLMOOR_INSTALL_H
