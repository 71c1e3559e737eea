// The install transaction's file-system operations on POSIX systems.
#include "install_sys.h"

#ifndef __linux__
#include <QCoreApplication>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <dirent.h>
#ifdef __linux__
#include <sys/sendfile.h>
#include <sys/xattr.h>
#endif
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace install::sys {

namespace {

// A system call that a test build may fail instead of making: -1 and errno as the test chose.
#define SYS_CALL(op, call) (injectFault(op) ? -1 : (call))

bool isContinuation(uchar byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `s` (with `left` bytes left), or 0.
int utf8Length(const uchar *s, qsizetype left)
{
    const uchar lead = s[0];
    int length;
    uint min;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    uint code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if (!isContinuation(s[i]))
            return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

QString decodeName(const char *name, qsizetype size)
{
    const auto *bytes = reinterpret_cast<const uchar *>(name);
    qsizetype ascii = 0;
    while (ascii < size && bytes[ascii] < 0x80)
        ++ascii;
    if (ascii == size)
        return QString::fromLatin1(name, size);
    QString text = QString::fromLatin1(name, ascii);
    for (qsizetype i = ascii; i < size;) {
        const int length = utf8Length(bytes + i, size - i);
        if (length == 0) {
            text += QChar(ushort(0xDC00 + bytes[i])); // a byte that is no character
            ++i;
        } else {
            text += QString::fromUtf8(name + i, length);
            i += length;
        }
    }
    return text;
}

QByteArray native(const QString &path)
{
    QByteArray bytes;
    bytes.reserve(path.size() + 8);
    const char16_t *text = reinterpret_cast<const char16_t *>(path.utf16());
    const qsizetype size = path.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = text[i];
        if (c < 0x80) {
            bytes += char(c);
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            bytes += char(c - 0xDC00); // a byte held as it was listed
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(text[i + 1])) {
            bytes += QString(reinterpret_cast<const QChar *>(text + i), 2).toUtf8();
            ++i;
        } else {
            bytes += QString(QChar(c)).toUtf8();
        }
    }
    return bytes;
}

Type typeFromMode(mode_t mode)
{
    if (S_ISREG(mode))
        return Type::File;
    if (S_ISDIR(mode))
        return Type::Dir;
    if (S_ISLNK(mode))
        return Type::Link;
    return Type::Other;
}

Result fromErrno()
{
    return errno == EEXIST ? Result::Exists : Result::Failed;
}

// Keeps errno across cleanup, so that the failure reported is the one that happened.
class ErrnoKeeper
{
public:
    ErrnoKeeper() : m_saved(errno) { }
    ~ErrnoKeeper() { errno = m_saved; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int m_saved;
};

enum class Swap { Done, Unsupported, Failed };

// Swaps two names in one step where the file system can (relative to `dir`).
Swap exchange(int dir, const QByteArray &a, const QByteArray &b)
{
#ifdef RENAME_EXCHANGE
    if (SYS_CALL(Op::Rename, ::renameat2(dir, a.constData(), dir, b.constData(), RENAME_EXCHANGE)) == 0)
        return Swap::Done;
    return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP ? Swap::Unsupported : Swap::Failed;
#else
    Q_UNUSED(dir);
    Q_UNUSED(a);
    Q_UNUSED(b);
    return Swap::Unsupported;
#endif
}

// The pairs of file systems (source device, target device) whose kernel refuses
// copy_file_range between them: one refusal is enough to go to sendfile for the rest.
class RefusedCopies
{
public:
    bool contains(dev_t from, dev_t to)
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        return std::find(m_pairs.begin(), m_pairs.end(), std::make_pair(from, to)) != m_pairs.end();
    }
    void add(dev_t from, dev_t to)
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_pairs.emplace_back(from, to);
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<dev_t, dev_t>> m_pairs;
} refusedCopies;

// Copies the rest of `in` (on device `from`) to `out` (on `to`), in the kernel where it can.
bool copyData(int in, dev_t from, int out, dev_t to)
{
#ifdef __linux__
    bool kernelCopy = !refusedCopies.contains(from, to);
    for (;;) {
        const ssize_t n = SYS_CALL(Op::Copy, kernelCopy
                ? ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0)
                : ::sendfile(out, in, nullptr, 1 << 30));
        if (n > 0)
            continue;
        if (n == 0)
            return true;
        // copy_file_range refuses some pairs of file systems; sendfile takes any.
        if (!kernelCopy || (errno != EXDEV && errno != EINVAL && errno != ENOSYS
                            && errno != EOPNOTSUPP))
            return false;
        refusedCopies.add(from, to);
        kernelCopy = false;
    }
#else
    Q_UNUSED(from);
    Q_UNUSED(to);
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = SYS_CALL(Op::Copy, ::read(in, buffer, sizeof buffer));
        if (n <= 0)
            return n == 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = SYS_CALL(Op::Copy, ::write(out, buffer + done, size_t(n - done)));
            if (written <= 0)
                return false;
            done += written;
        }
    }
#endif
}

// Extended attributes (ACLs, security labels, capabilities), where both file systems have
// them; one the target cannot take is left out, as cp -a does.
void copyAttributes(int in, int out)
{
#ifdef __linux__
    const ssize_t size = ::flistxattr(in, nullptr, 0);
    if (size <= 0)
        return;
    QByteArray names(size, Qt::Uninitialized);
    const ssize_t listed = ::flistxattr(in, names.data(), size_t(size));
    QByteArray value;
    for (ssize_t at = 0; at < listed; at += ssize_t(std::strlen(names.constData() + at)) + 1) {
        const char *name = names.constData() + at;
        const ssize_t length = ::fgetxattr(in, name, nullptr, 0);
        if (length < 0)
            continue;
        value.resize(length);
        const ssize_t read = ::fgetxattr(in, name, value.data(), size_t(length));
        if (read >= 0)
            ::fsetxattr(out, name, value.constData(), size_t(read), 0);
    }
#else
    Q_UNUSED(in);
    Q_UNUSED(out);
#endif
}

// What cp -a keeps of a copied file: owner and group where permitted, the mode (without
// set-user-ID or set-group-ID where the owner or group could not be kept: a copy must never
// become someone else's privileged program), extended attributes, and the times. The order
// matters: a change of owner clears those bits and file capabilities.
bool copyMetadata(int in, int out, const struct stat &from, const struct stat &made)
{
    mode_t mode = from.st_mode & 07777;
    if (made.st_uid != from.st_uid || made.st_gid != from.st_gid) {
        struct stat owned;
        if (::fchown(out, from.st_uid, from.st_gid) != 0)
            ::fchown(out, uid_t(-1), from.st_gid); // the group alone, where it is one of ours
        if (::fstat(out, &owned) != 0)
            return false;
        if (owned.st_uid != from.st_uid || owned.st_gid != from.st_gid)
            mode &= ~mode_t(S_ISUID | S_ISGID);
    }
    if (SYS_CALL(Op::Copy, ::fchmod(out, mode)) != 0)
        return false;
    copyAttributes(in, out);
    const decltype(from.st_atim) times[2] = { from.st_atim, from.st_mtim };
    ::futimens(out, times);
    return true;
}

// Opens an entry of the updater's own for `flags` without blocking on a FIFO or following a
// link; anything but a regular file there is a leftover, removed, and the open tried again.
int openOwnFile(const QByteArray &path, int flags)
{
    for (int tries = 0; tries < 3; ++tries) {
        const int fd = SYS_CALL(Op::Open, ::open(path.constData(),
                                                 flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        struct stat st;
        if (fd >= 0) {
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
                return fd;
            ::close(fd);
        } else {
            const int error = errno;
            if (error == ENOENT || ::lstat(path.constData(), &st) != 0 || S_ISREG(st.st_mode)) {
                errno = error;
                return -1; // nothing there to read, or a real failure
            }
        }
        if (!removeTree(decodeName(path.constData(), path.size())))
            return -1;
    }
    return -1;
}

} // namespace

QString nameKey(const QString &name)
{
    return name; // names are case-sensitive
}

QString refusedName(const QString &name)
{
    Q_UNUSED(name); // any byte but "/" and NUL, which no listing gives
    return QString();
}

bool list(const QString &dir, std::vector<Entry> &entries, FileId *id)
{
    DirHandle handle;
    if (!openDir(dir, &handle))
        return false;
    struct stat st;
    bool listed = true;
    if (id) {
        listed = ::fstat(int(handle.handle), &st) == 0;
        *id = { quint64(st.st_dev), quint64(st.st_ino) };
    }
    listed = listed && listDir(handle, entries);
    ErrnoKeeper keep;
    closeDir(&handle);
    return listed;
}

bool openDir(const QString &path, DirHandle *dir, const FileId *expected)
{
    const int fd = SYS_CALL(Op::List, ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0)
        return false;
    struct stat st;
    if (expected && (::fstat(fd, &st) != 0 || FileId { quint64(st.st_dev), quint64(st.st_ino) } != *expected)) {
        ::close(fd);
        errno = ESTALE; // not the directory that was listed there
        return false;
    }
    *dir = { fd, path };
    return true;
}

bool openDirIn(const DirHandle &parent, const QString &name, DirHandle *dir, bool *notDir)
{
    const int fd = SYS_CALL(Op::Open, ::openat(int(parent.handle), native(name).constData(),
                                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    *notDir = fd < 0 && (errno == ENOTDIR || errno == ELOOP || errno == ENOENT);
    if (fd < 0)
        return false;
    *dir = { fd, parent.path + QLatin1Char('/') + name };
    return true;
}

void closeDir(DirHandle *dir)
{
    if (dir->isOpen())
        ::close(int(dir->handle));
    dir->handle = -1;
}

bool listDir(const DirHandle &dir, std::vector<Entry> &entries)
{
    // The stream takes a descriptor of its own, read from the start.
    const int fd = ::dup(int(dir.handle));
    DIR *stream = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!stream) {
        ErrnoKeeper keep;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::rewinddir(stream);
    errno = 0;
    while (const dirent *d = ::readdir(stream)) {
        const char *name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        Type type;
        switch (d->d_type) {
        case DT_REG: type = Type::File; break;
        case DT_DIR: type = Type::Dir; break;
        case DT_LNK: type = Type::Link; break;
        case DT_UNKNOWN: {
            struct stat st;
            if (SYS_CALL(Op::Stat, ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) {
                ErrnoKeeper keep;
                ::closedir(stream);
                return false;
            }
            type = typeFromMode(st.st_mode);
            break;
        }
        default: type = Type::Other; break;
        }
        entries.push_back({decodeName(name, qsizetype(std::strlen(name))), type, name[0] == '.'});
        errno = 0;
    }
    const bool complete = errno == 0;
    ErrnoKeeper keep;
    ::closedir(stream);
    return complete;
}

bool removeFileIn(const DirHandle &dir, const QString &name)
{
    return SYS_CALL(Op::Remove, ::unlinkat(int(dir.handle), native(name).constData(), 0)) == 0
            || errno == ENOENT;
}

bool removeDirIn(const DirHandle &parent, const QString &name, DirHandle *dir)
{
    closeDir(dir);
    return SYS_CALL(Op::Remove, ::unlinkat(int(parent.handle), native(name).constData(), AT_REMOVEDIR)) == 0;
}

Type typeOf(const QString &path, bool followLinks)
{
    struct stat st;
    const QByteArray name = native(path);
    const int rc = SYS_CALL(Op::Stat, followLinks ? ::stat(name.constData(), &st)
                                                  : ::lstat(name.constData(), &st));
    return rc == 0 ? typeFromMode(st.st_mode) : Type::Missing;
}

bool openStagedFile(const DirHandle &from, const QString &name, StagedFile *file)
{
    // Looked at, not opened: a link needs no descriptor, and a copy opens it (never through
    // a link, never waiting on a FIFO put there since).
    const QByteArray staged = native(name);
    struct stat st;
    if (SYS_CALL(Op::Stat, ::fstatat(int(from.handle), staged.constData(), &st, AT_SYMLINK_NOFOLLOW)) != 0
        || SYS_CALL(Op::Stat, ::faccessat(int(from.handle), staged.constData(), R_OK, 0)) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL; // a FIFO or a device where the staged file was
        return false;
    }
    // A file with another name (inside the staging tree or outside it) is copied: a link
    // would let whatever holds that name change the installed file.
    file->linkable = st.st_nlink == 1;
    return true;
}

Result linkStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part)
{
    // The staged data goes to the disk with the part's sync before the commit.
    if (!file.linkable)
        return Result::Unsupported;
    if (SYS_CALL(Op::Link, ::linkat(int(from.handle), native(name).constData(), int(to.handle),
                                    native(part).constData(), 0)) == 0)
        return Result::Ok;
    switch (errno) {
    case EXDEV:  // another file system
    case EPERM:  // no hard links here, or the kernel protects this file from them
    case EMLINK: // too many names already
    case ENOTSUP:
        return Result::Unsupported;
    default:
        return fromErrno();
    }
}

namespace {

// A new file at `to` in `dir` with the data and metadata of the open file `in`.
Result copyInto(int in, int dir, const QByteArray &to)
{
    struct stat st;
    if (::fstat(in, &st) != 0)
        return Result::Failed;
    // Always a new file: nothing that appeared at this name is ever written through.
    const int out = SYS_CALL(Op::Open, ::openat(dir, to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out < 0)
        return fromErrno();
    struct stat made;
    bool copied = ::fstat(out, &made) == 0 && copyData(in, st.st_dev, out, made.st_dev)
            && copyMetadata(in, out, st, made);
#ifdef __linux__
    // Start writing the data back now, while the next files are copied, so that the sync
    // before the commit finds little left to write.
    if (copied)
        ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    copied = ::close(out) == 0 && copied;
    if (!copied) {
        ErrnoKeeper keep;
        ::unlinkat(dir, to.constData(), 0); // a copy cut short must not outlive the failure
    }
    return copied ? Result::Ok : Result::Failed;
}

// A new file at `to` in `toDir` with the data and metadata of the regular file `from` in
// `fromDir`.
Result copyAt(int fromDir, const QByteArray &from, int toDir, const QByteArray &to)
{
    const int in = SYS_CALL(Op::Open, ::openat(fromDir, from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (in < 0)
        return Result::Failed;
    struct stat st;
    Result result = Result::Failed;
    if (::fstat(in, &st) != 0)
        ;
    else if (!S_ISREG(st.st_mode))
        errno = EINVAL; // never a FIFO or a device
    else
        result = copyInto(in, toDir, to);
    ErrnoKeeper keep;
    ::close(in);
    return result;
}

} // namespace

Result copyStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part)
{
    Q_UNUSED(file);
    return copyAt(int(from.handle), native(name), int(to.handle), native(part));
}

Result copyFile(const QString &from, const QString &to)
{
    return copyAt(AT_FDCWD, native(from), AT_FDCWD, native(to));
}

Result copyLinkIn(const DirHandle &from, const QString &name, const DirHandle &to, const QString &part)
{
    QByteArray text(PATH_MAX, Qt::Uninitialized);
    const ssize_t n = SYS_CALL(Op::Stat, ::readlinkat(int(from.handle), native(name).constData(), text.data(),
                                                      size_t(text.size())));
    if (n < 0 || n >= text.size())
        return Result::Failed;
    text.truncate(int(n));
    if (SYS_CALL(Op::Link, ::symlinkat(text.constData(), int(to.handle), native(part).constData())) == 0)
        return Result::Ok;
    return fromErrno();
}

Result makeDirIn(const DirHandle &dir, const QString &name)
{
    return SYS_CALL(Op::MakeDir, ::mkdirat(int(dir.handle), native(name).constData(), 0777)) == 0 ? Result::Ok
                                                                                                 : fromErrno();
}

bool syncFileIn(const DirHandle &dir, const QString &name)
{
    const int fd = SYS_CALL(Op::Open, ::openat(int(dir.handle), native(name).constData(),
                                               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd < 0)
        return errno == ELOOP; // a link has no data of its own
    // fsync, not fdatasync: a copy's mode, owner and times and a link's count of names must
    // last as well as its data. After a stage that made every part first, one journal commit
    // covers all their metadata; each call then waits for little but the file's data.
    const bool synced = SYS_CALL(Op::Sync, ::fsync(fd)) == 0;
    ErrnoKeeper keep;
    ::close(fd);
    return synced;
}

bool syncDir(const DirHandle &dir)
{
    return SYS_CALL(Op::Sync, ::fsync(int(dir.handle))) == 0;
}

namespace {

Result replaceAt(int dir, const QByteArray &from, const QByteArray &to, const QByteArray &kept, Undo *undo)
{
    // Swapping the two names replaces the target atomically and keeps the old file under
    // the part's name, all in one call.
    switch (exchange(dir, from, to)) {
    case Swap::Done:
        *undo = Undo::Exchange;
        return Result::Ok;
    case Swap::Failed:
        return Result::Failed;
    case Swap::Unsupported:
        break;
    }
    // Without a swap: keep the old file under a second name, then rename over the target.
    if (SYS_CALL(Op::Link, ::linkat(dir, to.constData(), dir, kept.constData(), 0)) != 0)
        return fromErrno();
    if (SYS_CALL(Op::Rename, ::renameat(dir, from.constData(), dir, to.constData())) != 0) {
        ErrnoKeeper keep;
        ::unlinkat(dir, kept.constData(), 0);
        return Result::Failed;
    }
    *undo = Undo::Backup;
    return Result::Ok;
}

bool renameToFreeNameAt(int fromDir, const QByteArray &from, int toDir, const QByteArray &to)
{
#ifdef RENAME_NOREPLACE
    if (SYS_CALL(Op::Rename, ::renameat2(fromDir, from.constData(), toDir, to.constData(), RENAME_NOREPLACE)) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
#endif
    // The name was free when the release was staged, and the lock keeps other updaters out.
    return SYS_CALL(Op::Rename, ::renameat(fromDir, from.constData(), toDir, to.constData())) == 0;
}

} // namespace

Result replace(const QString &part, const QString &target, const QString &backup, const QString &aside, Undo *undo)
{
    Q_UNUSED(aside); // a running program's file is replaced like any other
    return replaceAt(AT_FDCWD, native(part), native(target), native(backup), undo);
}

Result replaceIn(const DirHandle &dir, const QString &part, const QString &target, const QString &backup,
                 const QString &aside, Undo *undo)
{
    Q_UNUSED(aside);
    return replaceAt(int(dir.handle), native(part), native(target), native(backup), undo);
}

bool undoReplace(Undo undo, const QString &part, const QString &target, const QString &backup)
{
    switch (undo) {
    case Undo::Exchange:
        // Swapped once in this attempt, so the file system can swap them back.
        return exchange(AT_FDCWD, native(part), native(target)) == Swap::Done;
    case Undo::Backup:
    case Undo::BackupReadOnly:
        return SYS_CALL(Op::Rename, ::rename(native(backup).constData(), native(target).constData())) == 0;
    case Undo::None:
        break;
    }
    return true;
}

bool canReplace(const QString &target)
{
    // A rename replaces a file whoever holds it or runs it; they keep the old one.
    Q_UNUSED(target);
    return true;
}

bool respell(const QString &from, const QString &to, const QString &via)
{
    Q_UNUSED(via);
    return rename(from, to);
}

bool renameToFreeName(const QString &from, const QString &to)
{
    return renameToFreeNameAt(AT_FDCWD, native(from), AT_FDCWD, native(to));
}

bool renameToFreeNameIn(const DirHandle &dir, const QString &from, const QString &to)
{
    return renameToFreeNameAt(int(dir.handle), native(from), int(dir.handle), native(to));
}

bool rename(const QString &from, const QString &to)
{
    return SYS_CALL(Op::Rename, ::rename(native(from).constData(), native(to).constData())) == 0;
}

bool removeFile(const QString &path)
{
    return SYS_CALL(Op::Remove, ::unlink(native(path).constData())) == 0 || errno == ENOENT;
}

bool removeDir(const QString &path)
{
    return SYS_CALL(Op::Remove, ::rmdir(native(path).constData())) == 0;
}

bool writeRecord(const QString &path, const QStringList &lines)
{
    const QByteArray name = native(path);
    if (!removeTree(path))
        return false;
    const int fd = SYS_CALL(Op::Open, ::open(name.constData(),
                                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd < 0)
        return false;
    // Names may hold any byte but NUL, so NUL ends each line.
    QByteArray data;
    for (const QString &line : lines)
        data += native(line) + '\0';
    bool written = true;
    for (qsizetype done = 0; written && done < data.size();) {
        const ssize_t n = SYS_CALL(Op::Copy, ::write(fd, data.constData() + done, size_t(data.size() - done)));
        written = n > 0;
        done += n;
    }
    written = ::close(fd) == 0 && written;
    if (!written) {
        ErrnoKeeper keep;
        ::unlink(name.constData());
    }
    return written;
}

bool readRecord(const QString &path, qint64 limit, QStringList *lines)
{
    lines->clear();
    const int fd = openOwnFile(native(path), O_RDONLY);
    if (fd < 0)
        return true;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > limit) {
        ::close(fd);
        errno = EFBIG;
        return false;
    }
    // Read up to the limit only, whatever the file grows to meanwhile.
    QByteArray data;
    char buffer[1 << 14];
    for (ssize_t n; data.size() <= limit && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    if (data.size() > limit) {
        errno = EFBIG;
        return false;
    }
    for (const QByteArray &line : data.split('\0')) {
        if (!line.isEmpty())
            *lines << decodeName(line.constData(), line.size());
    }
    return true;
}

LockHandle takeLock(const QString &path, bool *heldElsewhere)
{
    *heldElsewhere = false;
    const QByteArray name = native(path);
    for (int tries = 0; tries < 3; ++tries) {
        const int fd = openOwnFile(name, O_RDWR | O_CREAT);
        if (fd < 0)
            return noLock;
        if (SYS_CALL(Op::Open, ::flock(fd, LOCK_EX | LOCK_NB)) != 0) {
            *heldElsewhere = errno == EWOULDBLOCK;
            ErrnoKeeper keep;
            // Not held, yet not lockable: no one needs this file. One who opened it meanwhile
            // finds its name gone and makes a new one.
            if (!*heldElsewhere)
                ::unlink(name.constData());
            ::close(fd);
            return noLock;
        }
        // The holder before us removes the file as it lets go: the lock counts only while
        // the name still leads to the file locked.
        struct stat locked, named;
        if (::fstat(fd, &locked) == 0 && ::lstat(name.constData(), &named) == 0
            && locked.st_dev == named.st_dev && locked.st_ino == named.st_ino)
            return fd;
        ::close(fd);
    }
    *heldElsewhere = true; // taken and let go under our hands each time
    return noLock;
}

void releaseLock(LockHandle lock, const QString &path)
{
    if (lock == noLock)
        return;
    ::unlink(native(path).constData());
    ::close(int(lock));
}

bool ownExecutable(QString *path)
{
#ifdef __linux__
    // The kernel's own record of the file this process runs, byte for byte; Qt's answer is
    // decoded, and a name that is not UTF-8 would come back as another path.
    QByteArray name(PATH_MAX, Qt::Uninitialized);
    const ssize_t n = ::readlink("/proc/self/exe", name.data(), size_t(name.size()));
    if (n <= 0 || n >= name.size() || name[0] != '/') {
        if (n >= name.size())
            errno = ENAMETOOLONG;
        return false;
    }
    *path = decodeName(name.constData(), n);
#else
    *path = QCoreApplication::applicationFilePath();
    if (path->isEmpty()) {
        errno = ENOENT;
        return false;
    }
#endif
    return true;
}

bool enterDirectory(const QString &dir)
{
    return ::chdir(native(dir).constData()) == 0;
}

bool lowerIoPriority()
{
#ifdef __linux__
    // ioprio_set(IOPRIO_WHO_PROCESS, this thread, IOPRIO_CLASS_IDLE): glibc has no wrapper.
    constexpr int whoProcess = 1, classIdle = 3, classShift = 13;
    return ::syscall(SYS_ioprio_set, whoProcess, 0, classIdle << classShift) == 0;
#else
    return false;
#endif
}

QByteArray forOutput(const QString &path)
{
    return native(path);
}

bool isInUse(int code)
{
    return code == EBUSY || code == ETXTBSY;
}

int lastErrorCode()
{
    return errno;
}

QString errorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace install::sys
