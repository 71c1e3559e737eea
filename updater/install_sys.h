// The file-system operations the install transaction is built from, with a POSIX body
// (install_unix.cpp) and a Win32 one (install_win.cpp). Paths are absolute, with "/".
//
// Names are carried as the directory listing gave them: UTF-16 on Windows; bytes on POSIX,
// where a byte that is not part of valid UTF-8 is held as the lone surrogate U+DC80..U+DCFF
// and written back as that same byte, so that every name round-trips exactly.
#ifndef QUILLMOOR_INSTALL_SYS_H
#define QUILLMOOR_INSTALL_SYS_H

#include <QString>
#include <QStringList>

#include <vector>

namespace install::sys {

enum class Type : unsigned char {
    Missing,
    File,
    Dir,
    Link,  // a symbolic link (or a junction), dangling or not; never followed
    Other, // socket, FIFO, device, other reparse points, system files: a system entry
};

struct Entry
{
    QString name;
    Type type;
    bool hidden; // a leading "." on Unix, the hidden attribute on Windows
};

// What a file or directory is, whatever it is called: device and inode on POSIX, volume and
// file index on Windows.
struct FileId
{
    quint64 volume = 0;
    quint64 index = 0;
    bool operator==(const FileId &other) const { return volume == other.volume && index == other.index; }
    bool operator!=(const FileId &other) const { return !(*this == other); }
};

// A directory held open. Names in it are found in that very directory, whatever its path
// comes to lead to meanwhile (a directory swapped for a link); on Windows, where names go
// through the path, the handle keeps that directory and every one above it from being
// renamed or removed while it is held.
struct DirHandle
{
    qintptr handle = -1;
    QString path; // what it was opened as
    bool isOpen() const { return handle != -1; }
};

enum class Result : unsigned char {
    Ok,
    Exists,      // the new name is taken
    Unsupported, // linking cannot work here (another file system, no hard links): copy instead
    Failed,
};

// How a committed step is undone, and so what lies where. "old" is the installed entry, "new"
// the part's; target, part and backup are the step's three names (the last two the
// updater's own, which the install unit makes; so is the aside name).
//
//   step                       after the commit                after its undo
//   Exchange (Linux: renameat2 target: new, part: old          target: old, part: new
//     RENAME_EXCHANGE)
//   Backup, POSIX (link, then  target: new, backup: old        target: old (the backup
//     rename over)             (a second name), part: -        renamed back), part: -
//   Backup, Windows (hard      target: new, backup: old,       target: old, part: -;
//     link, then MoveFileEx    part: -                         read-only given back for
//     or POSIX-semantics                                       BackupReadOnly
//     rename over)
//   Backup, Windows, the       target: new, backup: old,       target: old, part: -; the
//     running updater.exe      aside: old (the same file,      aside name stays until the
//                              still running)                  program exits (a later start)
//   Backup, Windows without    target: new, backup: old        target: old, part: -
//     hard links (FAT: old     (renamed there), part: -
//     renamed aside first)
//   None: a new name           target: new, part: -            target: -, part: new
//     (rename to a free name)
//   None: a respelling         the entry under the release's   the entry under its old
//                              spelling                        spelling
//
// Once the commit is final, the old entry goes: the part name after an Exchange, the backup
// name after a Backup. "-" means no entry at that name.
enum class Undo : unsigned char {
    None,
    Exchange,
    Backup,
    BackupReadOnly, // Windows: as Backup, and the old file had the read-only attribute
};

// The key an installed name is looked up by: the name itself where names are
// case-sensitive, its upper-case form where they are not (Windows), so that a release that
// changes only the case of a name replaces the installed entry.
QString nameKey(const QString &name);

// Why Windows programs could not use `name` in an ordinary path: reserved for a device
// ("CON", "aux.txt", "COM1.log"), trimmed away (a trailing dot or space) or holding a
// character Windows forbids. Empty for a name that can be used, as every name can on POSIX.
QString refusedName(const QString &name);

// Every entry of `dir` except "." and "..", in the file system's order, and what the
// directory is. False when the directory cannot be read: an unreadable directory is never
// mistaken for an empty one.
bool list(const QString &dir, std::vector<Entry> &entries, FileId *id = nullptr);

// Opens the directory at `path`, following links; with `expected`, only when it is that
// directory (false otherwise, as for a directory that cannot be opened).
bool openDir(const QString &path, DirHandle *dir, const FileId *expected = nullptr);
// Opens the directory `name` in `parent`, never through a link. False when it cannot be
// opened; `notDir` then says whether that is because the entry is something else (a file, a
// link, nothing at all).
bool openDirIn(const DirHandle &parent, const QString &name, DirHandle *dir, bool *notDir);
void closeDir(DirHandle *dir);
// Every entry of the open directory, as list() gives them.
bool listDir(const DirHandle &dir, std::vector<Entry> &entries);
// Removes the file or link `name` in `dir`; a link is removed, never what it points to. True
// when nothing is there any more.
bool removeFileIn(const DirHandle &dir, const QString &name);
// Removes the directory `dir`, opened as `name` in `parent`, if it is empty; closes it.
bool removeDirIn(const DirHandle &parent, const QString &name, DirHandle *dir);

// The entry at `path`; with `followLinks` what a link points to.
Type typeOf(const QString &path, bool followLinks);

// The transaction's work on names in open directories: `from` is a staged directory, `to`
// and `dir` the directory a part is made in. On POSIX these are the *at calls on the
// directories' descriptors; on Windows the names go through the paths the handles pin.

// A staged file checked before it is linked or copied: a regular file that can be read
// (false otherwise, which fails the attempt). A copy opens it never through a link and
// never waiting on a FIFO.
struct StagedFile
{
    QString path;
    bool linkable = false; // its only name: a link to it reaches nothing else
};
bool openStagedFile(const DirHandle &from, const QString &name, StagedFile *file);
// A part for the staged file: a second name of it (Unsupported where the file system or the
// file does not allow one: copy instead), or a new file with its data and, as far as
// permitted, its mode, owner, times and extended attributes, written in the kernel where it
// can (its data has begun to go to the disk).
Result linkStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part);
Result copyStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part);
// A new link in `to` holding the same text as the link `name` in `from`.
Result copyLinkIn(const DirHandle &from, const QString &name, const DirHandle &to, const QString &part);
Result makeDirIn(const DirHandle &dir, const QString &name);

// Makes the file `name` in `dir`, data and metadata, durable, and nothing else.
bool syncFileIn(const DirHandle &dir, const QString &name);
// Makes the names in `dir` durable (Windows: every name change is written through already).
bool syncDir(const DirHandle &dir);

// A new file with the data of `from` and, as far as permitted, its mode, owner, times and
// extended attributes (a staged file's copy, by paths).
Result copyFile(const QString &from, const QString &to);

// As replace(), for names in one open directory.
Result replaceIn(const DirHandle &dir, const QString &part, const QString &target, const QString &backup,
                 const QString &aside, Undo *undo);
// As renameToFreeName(), in one open directory.
bool renameToFreeNameIn(const DirHandle &dir, const QString &from, const QString &to);

// Puts `part` in place of the existing `target` in one step, keeping the old file for an
// undo (under `backup` when the two cannot be swapped). Exists when `backup` is taken. The
// running updater's own executable, which Windows will not replace, is renamed to `aside`.
Result replace(const QString &part, const QString &target, const QString &backup, const QString &aside,
               Undo *undo);
// Undoes exactly what `undo` says replace() did.
bool undoReplace(Undo undo, const QString &part, const QString &target, const QString &backup);
// True when the entry `target`, which the commit will replace or rename, can be: no other
// process has it open (on Windows a replacing rename fails even against a holder that shares
// delete access, and a directory cannot be renamed while anything inside it is open), and
// none runs it as a program or library (except the updater's own executable, which
// replace() sets aside). Checked for every target before the commit starts, so that a file
// in use fails the attempt before anything changes.
bool canReplace(const QString &target);
// Gives the entry `from` the name `to`, which differs from it only in case. Where the file
// system ignores a rename to another case of a name, it takes two, through `via`.
bool respell(const QString &from, const QString &to, const QString &via);
// Renames `from` to the free name `to`; fails rather than replace anything there.
bool renameToFreeName(const QString &from, const QString &to);
// Renames `from` over `to`, replacing a file there.
bool rename(const QString &from, const QString &to);

// Removes a file or a link (never what it points to).
bool removeFile(const QString &path);
// Removes an empty directory.
bool removeDir(const QString &path);
// Removes a whole tree, hidden entries included, links as links; each directory through the
// handle of the one above, so nothing swapped in during the removal leads it elsewhere.
bool removeTree(const QString &path);
// The same for the entry `name` of `parent`, keeping what `keep` chooses (with every
// directory above it); with `stopAtFailure` the removal of a directory stops at its first
// entry that will not go. Both are built on the operations above (install_tree.cpp).
bool removeTreeIn(const DirHandle &parent, const QString &name, bool (*keep)(const Entry &), bool stopAtFailure);
// The same for a path: the directory above it is opened by its path.
bool removeTreeAt(const QString &path, bool (*keep)(const Entry &), bool stopAtFailure);

// A small file of the updater's own holding `lines`, made anew: whatever was at `path`
// (a leftover of any kind) is removed first, and nothing is written through a link.
bool writeRecord(const QString &path, const QStringList &lines);
// The lines of such a file; none when it is missing, not a regular file or unreadable. False
// when it is larger than `limit` bytes (and then not read): no record of ours is that large.
bool readRecord(const QString &path, qint64 limit, QStringList *lines);

// The lock that keeps a second updater out of an installation: a file that only a living
// holder keeps locked, so a killed holder's lock is free again, whatever the file holds.
// An entry of another kind at `path` is a leftover and is removed. Never blocks; sets
// `heldElsewhere` when another process holds the lock.
using LockHandle = qintptr;
constexpr LockHandle noLock = -1;
LockHandle takeLock(const QString &path, bool *heldElsewhere);
void releaseLock(LockHandle lock, const QString &path);

// The running program's own file, exactly as the system names it (Linux: the bytes of
// /proc/self/exe; Windows: GetModuleFileNameW's whole answer, long paths included), with
// "/" for separators. False when the system cannot tell.
bool ownExecutable(QString *path);
// Makes `dir` the working directory (on Windows by its short form where the path is too
// long for a working directory).
bool enterDirectory(const QString &dir);
// Puts the calling thread's file-system work behind everyone else's: Linux's idle I/O class,
// Windows' background mode. True when it did.
bool lowerIoPriority();
// The path as standard output carries it: its bytes on POSIX; on Windows the ANSI code page,
// with "?" for a character it lacks rather than a look-alike that names another path.
QByteArray forOutput(const QString &path);

// True for an error that says another program has the entry open (and may soon let go).
bool isInUse(int code);

// The error of the last failed operation of this thread (errno, or GetLastError on
// Windows), and the system's text for such an error.
int lastErrorCode();
QString errorText(int code);

// Test builds (QUILLMOOR_FAULT_INJECTION) let a test fail chosen calls: each system call
// the layer makes asks first, and a call that is to fail sets the error and returns failure
// without running. Elsewhere the question compiles away.
enum class Op : unsigned char {
    List,
    Stat,
    Open,
    Link,
    Copy,
    MakeDir,
    Sync,
    Rename,
    Remove,
    Thread, // a helper thread started
    Count
};
#ifdef QUILLMOOR_FAULT_INJECTION
bool injectFault(Op op); // defined by the test
#else
constexpr bool injectFault(Op)
{
    return false;
}
#endif

} // namespace install::sys

#endif // QUILLMOOR_INSTALL_SYS_H
