// The install unit's inside: the transaction that puts a staged release over an
// installation, and the helpers its source files share. Only the install unit and its tests
// include this; the window sees install.h alone.
//
// The transaction leaves the installation entirely the old release after any failed
// attempt, and entirely the new after a successful one:
//
//   stage   the staged tree is walked and every decision taken (leftovers of earlier runs in
//           the directories walked are removed); the directories where the attempt makes
//           names of its own are listed (dirListName()); then every staged file gets a part
//           beside its target (a hard link to the staged file where the file system allows,
//           a copy otherwise), and a directory the installation lacks is staged whole under
//           a part name
//   sync    the parts' data (and the list) is made durable
//   commit  each part replaces its target in one rename that keeps the old entry for the
//           undo (steps on up to four threads, respellings after them, in list order); each
//           step records how it was committed (its Undo), and a failure undoes exactly that,
//           in reverse list order; the commit marker (commitMarkerName()) stands meanwhile
//   finish  the new names are made durable, the marker goes, and the staged names of linked
//           files are removed (nothing left in the staging tree shares data with the
//           installation); the old entries stay under names of the updater's own
//   free    the old entries go, and once that is durable, the list
//
// What lies on disk for each kind of step, at the target (the installed name), the part and
// the backup (names of the updater's own, made by ownPath()), is told at the Undo kinds in
// install_sys.h.
#ifndef QUILLMOOR_INSTALL_P_H
#define QUILLMOOR_INSTALL_P_H

#include "install.h"
#include "install_sys.h"

#include <atomic>
#include <vector>

namespace install {

// `name` in the directory `dir`; a root ("/", "R:/") already ends with its separator.
inline QString join(const QString &dir, const QString &name)
{
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

// The directory holding `path`; a root's own form ("/", "R:/") where that is the root.
inline QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const bool atRoot = slash == 0 || (slash == 2 && path[1] == QLatin1Char(':'));
    return path.left(atRoot ? slash + 1 : slash);
}

inline QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Opens the directories a run of work goes through, one at a time (most runs stay in one),
// each with the identity the walk listed there where one is given: a directory swapped for
// another, or for a link, since then is not used.
class DirCursor
{
public:
    DirCursor() = default;
    ~DirCursor() { sys::closeDir(&m_dir); }
    DirCursor(const DirCursor &) = delete;
    DirCursor &operator=(const DirCursor &) = delete;

    // The directory `index`, at `path`: nullptr when it cannot be opened, or is not `id`.
    const sys::DirHandle *at(int index, const QString &path, const sys::FileId *id);

private:
    sys::DirHandle m_dir;
    int m_index = -1;
    bool m_valid = false;
};

class Transaction
{
public:
    Transaction(const QString &stagingRoot, const QString &installRoot);
    // An attempt that did not commit is rolled back; old entries of one that did are freed.
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // Each phase returns false on failure, after which only rollBack() makes sense.
    bool stage();
    bool sync();
    bool commit();
    bool finish();
    // Removes the old entries the commit kept, which are no longer part of the installation;
    // `inBackground` at the system's idle I/O priority (the main application runs by then).
    void freeOldFiles(bool inBackground);
    // Undoes the commits made so far, in reverse list order, and removes every part, backup
    // and directory of this attempt.
    void rollBack();

    // All phases, the freeing included; on failure the installation is as it was.
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

    // Where an item is. A step's item is made under its part name and committed by one
    // rename; an item inside a new directory is made under its own name there, and appears
    // with that directory's commit (it stays Made).
    enum class State : unsigned char {
        Planned,    // decided; nothing of it on disk (a respelling is Made at once: it makes nothing)
        Made,       // the part holds the new entry
        Committed,  // the target holds the new entry; the old one is where `undo` says
        Undone,     // the target holds the old entry again; the part name holds the new
                    // entry after the undo of an Exchange or of a new name, nothing otherwise
        UndoFailed, // as Committed: the undo was refused; the next start installs again
        Freed,      // committed, and the old entry removed
    };

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

    // One staged entry.
    struct Item
    {
        QString name;
        int source = -1;      // the staged directory holding it (m_sources)
        int dir = -1;         // the directory it is made in (m_dirs)
        quint32 number = 0;   // a step's own names (ownPath); a respelling's index in m_spellings
        Kind kind = Kind::File;
        State state = State::Planned;
        sys::Undo undo = sys::Undo::None; // how the commit replaced the target
        bool replaces = false;   // a step whose target exists
        bool linked = false;     // a file made as a second name of the staged file
        bool sourceFailed = false; // the staged entry could not be read
        int error = 0;           // why it could not be made
    };

    bool isStep(const Item &item) const { return !m_dirs[size_t(item.dir)].isNew; }

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
    void makeFile(Item &item, const sys::DirHandle &from, const sys::DirHandle &to);

    const sys::DirHandle *openDir(DirCursor &cursor, int index) const;
    const sys::DirHandle *openSource(DirCursor &cursor, int index) const;
    bool syncDirs(bool all, const QString &phase);
    bool checkTargets();
    bool commitStep(Item &item, const sys::DirHandle &dir);
    bool undoStep(Item &item);
    void removeStagedNames();
    bool replaceWithOwnCopy(const QString &installed);

    QString sourcePath(const Item &item) const;
    QString madeName(const Item &item) const;
    QString madePath(const Item &item) const;
    QString installedPath(const Item &item) const;
    QString backupPath(const Item &item) const;
    QString respelledPath(const Item &item) const;
    QString respellViaPath(const Item &item) const;
    QString ownPath(const QString &dir, char kind, quint32 number) const;
    static QString ownName(char kind, quint32 number);
    quint32 freshNumber();
    bool fail(const QString &phase, const QString &path, int error);
    bool fail(const QString &phase, const QString &path, const QString &reason);

    QString m_staging;
    QString m_install;
    std::vector<Source> m_sources;
    std::vector<Dir> m_dirs;
    std::vector<Item> m_items;
    QStringList m_spellings; // the release's spelling of each respelled entry
    QStringList m_carried;   // list lines of earlier runs whose leftovers are still there
    std::atomic<quint32> m_nextNumber{0};
    bool m_leftovers = false; // some own name could not be removed: the list stays
    bool m_finished = false;  // the commit is durable: no rollBack() any more
    bool m_freed = false;
    Failure m_failure;
    std::vector<Failure> m_undoFailures;
};

} // namespace install

#endif // QUILLMOOR_INSTALL_P_H
