// The install transaction's file-system operations on POSIX systems.
#include "install_sys.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <dirent.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install::sys {

namespace {

namespace fs = std::filesystem;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

fs::path fsPath(const QString &path)
{
    return fs::path(native(path).toStdString());
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

// Cleared once the file system says it cannot swap two names.
std::atomic<bool> exchangeWorks{true};

bool exchange(const QByteArray &a, const QByteArray &b)
{
#ifdef RENAME_EXCHANGE
    if (exchangeWorks.load(std::memory_order_relaxed)) {
        if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
            return false;
        exchangeWorks.store(false, std::memory_order_relaxed);
    }
#else
    Q_UNUSED(a);
    Q_UNUSED(b);
#endif
    errno = ENOTSUP;
    return false;
}

// Copies the rest of `in` to `out`, in the kernel where it can.
bool copyData(int in, int out)
{
#ifdef __linux__
    bool kernelCopy = true;
    for (;;) {
        const ssize_t n = kernelCopy ? ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0)
                                     : ::sendfile(out, in, nullptr, 1 << 30);
        if (n > 0)
            continue;
        if (n == 0)
            return true;
        // copy_file_range refuses some pairs of file systems; sendfile takes any.
        if (!kernelCopy || (errno != EXDEV && errno != EINVAL && errno != ENOSYS
                            && errno != EOPNOTSUPP))
            return false;
        kernelCopy = false;
    }
#else
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = ::write(out, buffer + done, size_t(n - done));
            if (written <= 0)
                return false;
            done += written;
        }
    }
#endif
}

#ifndef __linux__
bool syncFd(const QByteArray &path, bool dataOnly)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ELOOP; // a link has no data of its own
    const int rc = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    ::close(fd);
    return rc == 0;
}
#endif

#ifdef __linux__
// One syncfs covers every file and directory of the installation's file system, which is
// far cheaper than thousands of fsyncs.
bool syncFileSystem(const QString &root)
{
    const int fd = ::open(native(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int rc = ::syncfs(fd);
    ::close(fd);
    return rc == 0;
}
#endif

} // namespace

QString nameKey(const QString &name)
{
    return name; // names are case-sensitive
}

bool list(const QString &dir, std::vector<Entry> &entries)
{
    const QByteArray path = native(dir);
    DIR *stream = ::opendir(path.constData());
    if (!stream)
        return false;
    const int fd = ::dirfd(stream);
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
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ::closedir(stream);
                return false;
            }
            type = typeFromMode(st.st_mode);
            break;
        }
        default: type = Type::Other; break;
        }
        entries.push_back({QFile::decodeName(name), type, name[0] == '.'});
        errno = 0;
    }
    const bool complete = errno == 0;
    ::closedir(stream);
    return complete;
}

Type typeOf(const QString &path, bool followLinks)
{
    struct stat st;
    const int rc = followLinks ? ::stat(native(path).constData(), &st)
                               : ::lstat(native(path).constData(), &st);
    return rc == 0 ? typeFromMode(st.st_mode) : Type::Missing;
}

bool checkStagedFile(const QString &path, bool *linkable)
{
    const QByteArray name = native(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0 || ::access(name.constData(), R_OK) != 0)
        return false;
    // A file with another name (inside the staging tree or outside it) is copied: a link
    // would let whatever holds that name change the installed file.
    *linkable = st.st_nlink == 1;
    return true;
}

Result hardLink(const QString &existing, const QString &newPath)
{
    if (::link(native(existing).constData(), native(newPath).constData()) == 0)
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

Result copyFile(const QString &from, const QString &to)
{
    const int in = ::open(native(from).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return Result::Failed;
    struct stat st;
    if (::fstat(in, &st) != 0) {
        ::close(in);
        return Result::Failed;
    }
    // Always a new file: nothing that appeared at this name is ever written through.
    const QByteArray target = native(to);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const Result result = fromErrno();
        ::close(in);
        return result;
    }
    bool copied = copyData(in, out) && ::fchmod(out, st.st_mode & 07777) == 0;
#ifdef __linux__
    // Start writing the data back now, while the next files are copied, so that the sync
    // before the commit finds little left to write.
    if (copied)
        ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    copied = ::close(out) == 0 && copied;
    ::close(in);
    if (!copied)
        ::unlink(target.constData()); // a copy cut short must not outlive the failure
    return copied ? Result::Ok : Result::Failed;
}

Result copyLink(const QString &from, const QString &to)
{
    const QByteArray source = native(from);
    QByteArray text(PATH_MAX, Qt::Uninitialized);
    const ssize_t n = ::readlink(source.constData(), text.data(), size_t(text.size()));
    if (n < 0 || n >= text.size())
        return Result::Failed;
    text.truncate(int(n));
    if (::symlink(text.constData(), native(to).constData()) == 0)
        return Result::Ok;
    return fromErrno();
}

Result makeDir(const QString &path)
{
    return ::mkdir(native(path).constData(), 0777) == 0 ? Result::Ok : fromErrno();
}

// On Linux one syncfs covers every path given; elsewhere each is synced on its own (its data
// only, or for directories their names too).
bool syncAll(const QString &root, const QStringList &paths, bool dataOnly)
{
#ifdef __linux__
    Q_UNUSED(paths);
    Q_UNUSED(dataOnly);
    return syncFileSystem(root);
#else
    Q_UNUSED(root);
    for (const QString &path : paths) {
        if (!syncFd(native(path), dataOnly))
            return false;
    }
    return true;
#endif
}

bool syncData(const QString &root, const QStringList &files)
{
    return syncAll(root, files, true);
}

bool syncNames(const QString &root, const QStringList &dirs)
{
    return syncAll(root, dirs, false);
}

Result replace(const QString &part, const QString &target, const QString &backup, Undo *undo)
{
    const QByteArray from = native(part);
    const QByteArray to = native(target);
    // Swapping the two names replaces the target atomically and keeps the old file under
    // the part's name, all in one call.
    if (exchange(from, to)) {
        *undo = Undo::Exchange;
        return Result::Ok;
    }
    if (errno != ENOTSUP)
        return Result::Failed;
    // Without a swap: keep the old file under a second name, then rename over the target.
    const QByteArray kept = native(backup);
    if (::link(to.constData(), kept.constData()) != 0)
        return fromErrno();
    if (::rename(from.constData(), to.constData()) != 0) {
        ::unlink(kept.constData());
        return Result::Failed;
    }
    *undo = Undo::Backup;
    return Result::Ok;
}

bool undoReplace(Undo undo, const QString &part, const QString &target, const QString &backup)
{
    switch (undo) {
    case Undo::Exchange:
        return exchange(native(part), native(target));
    case Undo::Backup:
    case Undo::BackupReadOnly:
        return ::rename(native(backup).constData(), native(target).constData()) == 0;
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

bool respell(const QString &from, const QString &to)
{
    return rename(from, to);
}

bool add(const QString &from, const QString &to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, native(from).constData(), AT_FDCWD, native(to).constData(),
                    RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
#endif
    // The name was free when the release was staged, and the lock keeps other updaters out.
    return rename(from, to);
}

bool rename(const QString &from, const QString &to)
{
    return ::rename(native(from).constData(), native(to).constData()) == 0;
}

bool removeFile(const QString &path)
{
    return ::unlink(native(path).constData()) == 0 || errno == ENOENT;
}

bool removeDir(const QString &path)
{
    return ::rmdir(native(path).constData()) == 0;
}

bool removeTree(const QString &path)
{
    // remove_all never follows links.
    std::error_code error;
    fs::remove_all(fsPath(path), error);
    return !error;
}

bool writeMarker(const QString &path)
{
    const int fd = ::open(native(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace install::sys
