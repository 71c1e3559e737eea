// The install transaction's file-system operations on Windows. Paths go to Win32 in their
// "\\?\" form, so that a path longer than MAX_PATH inside the installation works.
#include "install_sys.h"

#include <QDir>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

namespace install::sys {

namespace {

std::wstring native(const QString &path)
{
    QString text = QDir::toNativeSeparators(path);
    if (text.startsWith(QLatin1String("\\\\")))
        text = QLatin1String("\\\\?\\UNC\\") + text.mid(2);
    else if (text.size() >= 2 && text[1] == QLatin1Char(':'))
        text = QLatin1String("\\\\?\\") + text;
    return text.toStdWString();
}

DWORD attributesOf(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str());
}

// The symbolic-link part of the reparse data (the DDK's REPARSE_DATA_BUFFER).
struct SymlinkReparseData
{
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteNameOffset;
    USHORT substituteNameLength;
    USHORT printNameOffset;
    USHORT printNameLength;
    ULONG flags;
    WCHAR pathBuffer[1];
};

HANDLE openEntry(const std::wstring &path, DWORD access, bool followLinks)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS; // directories too
    if (!followLinks)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

Type typeFromAttributes(DWORD attributes, DWORD reparseTag)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A junction is taken as a link, followed where the release has a directory, as a
        // link to a directory is on POSIX. Every other reparse point (a cloud placeholder, a
        // WSL link, a socket) is a system entry: its data is not ours to copy or remove.
        if (reparseTag == IO_REPARSE_TAG_SYMLINK || reparseTag == IO_REPARSE_TAG_MOUNT_POINT)
            return Type::Link;
        return Type::Other;
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return Type::Other;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Type::Dir; // a system directory is only a folder with a customised view
    return (attributes & FILE_ATTRIBUTE_SYSTEM) ? Type::Other : Type::File;
}

Result fromLastError()
{
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Result::Exists
                                                                       : Result::Failed;
}

bool moveFile(const std::wstring &from, const std::wstring &to, DWORD flags)
{
    // Written through: the rename is on disk when the call returns, which is how a commit
    // is made durable here.
    return !injectFault(Op::Rename) && MoveFileExW(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH);
}

bool setAttributes(const std::wstring &path, DWORD attributes)
{
    return SetFileAttributesW(path.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// The file's identity (volume and index), to tell whether two names are one file.
bool fileId(const std::wstring &path, BY_HANDLE_FILE_INFORMATION *info)
{
    const HANDLE file = openEntry(path, FILE_READ_ATTRIBUTES, false);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    return known;
}

// True when `path` is this program's own executable, the one file a commit may set aside.
bool isOwnExecutable(const std::wstring &path)
{
    static const std::wstring own = [] {
        std::wstring name(32768, L'\0');
        name.resize(GetModuleFileNameW(nullptr, &name[0], DWORD(name.size())));
        return name;
    }();
    BY_HANDLE_FILE_INFORMATION a, b;
    return fileId(path, &a) && fileId(own, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber
            && a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool flush(const std::wstring &path)
{
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return true; // no data of its own; names are made durable by the renames
    if (injectFault(Op::Sync))
        return false;
    // A read-only file cannot be opened for writing, which a flush needs; the attribute
    // comes back at once.
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    const HANDLE file = openEntry(path, GENERIC_WRITE, false);
    const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (readOnly)
        SetFileAttributesW(path.c_str(), attributes);
    return flushed;
}

} // namespace

QString nameKey(const QString &name)
{
    // One code unit at a time, as NTFS compares names through its upcase table; no
    // linguistic rule (no "ß" to "SS").
    QString key(name.size(), Qt::Uninitialized);
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE,
                                reinterpret_cast<LPCWSTR>(name.utf16()), int(name.size()),
                                reinterpret_cast<LPWSTR>(key.data()), int(key.size()), nullptr,
                                nullptr, 0);
    return n == int(name.size()) ? key : name;
}

namespace {

// `name` in the directory `dir`; a drive's root ("R:/") already ends with its separator.
QString joinPath(const QString &dir, const QString &name)
{
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

bool listPath(const QString &dir, std::vector<Entry> &entries)
{
    if (injectFault(Op::List))
        return false;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW((native(dir) + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return false; // even an empty directory lists "." and ".."
    do {
        const wchar_t *name = data.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
            continue;
        entries.push_back({QString::fromWCharArray(name),
                           typeFromAttributes(data.dwFileAttributes, data.dwReserved0),
                           (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0});
    } while (FindNextFileW(find, &data));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return complete;
}

FileId idOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return { info.dwVolumeSerialNumber, (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow };
}

// A directory opened without delete sharing: while it is open, neither it nor any directory
// above it can be renamed or removed, so a path through it keeps leading to it.
HANDLE openPinned(const std::wstring &path, DWORD flags)
{
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

} // namespace

QString refusedName(const QString &name)
{
    // Naming Files, Paths, and Namespaces (learn.microsoft.com): a path of this name opens
    // the device, whatever the extension; the Win32 layer trims a trailing dot or space, so
    // an ordinary open reaches another file; the characters are those no name may hold.
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("a name that ends in a dot or a space, which Windows trims");
    for (const QChar c : name) {
        if (c.unicode() < 32 || QStringLiteral("<>:\"/\\|?*").contains(c))
            return QStringLiteral("a character Windows forbids in names");
    }
    QString base = name.left(name.indexOf(QLatin1Char('.'))).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList devices = { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
    const bool numbered = base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
            && ((base[3] >= QLatin1Char('1') && base[3] <= QLatin1Char('9')) || base[3] == QChar(0xB9)
                || base[3] == QChar(0xB2) || base[3] == QChar(0xB3));
    if (numbered || devices.contains(base))
        return QStringLiteral("a name Windows reserves for a device");
    return QString();
}

bool list(const QString &dir, std::vector<Entry> &entries, FileId *id)
{
    if (id) {
        const HANDLE handle = openEntry(native(dir), FILE_READ_ATTRIBUTES, true);
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (!known)
            return false;
        *id = idOf(info);
    }
    return listPath(dir, entries);
}

bool openDir(const QString &path, DirHandle *dir, const FileId *expected)
{
    if (injectFault(Op::List))
        return false;
    const HANDLE handle = openPinned(native(path), 0);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (expected && idOf(info) != *expected)) {
        CloseHandle(handle);
        SetLastError(ERROR_PATH_NOT_FOUND); // not the directory that was listed there
        return false;
    }
    *dir = { qintptr(handle), path };
    return true;
}

bool openDirIn(const DirHandle &parent, const QString &name, DirHandle *dir, bool *notDir)
{
    *notDir = false;
    if (injectFault(Op::Open))
        return false;
    const QString path = joinPath(parent.path, name);
    // The entry itself: a link or junction is opened as such and never followed.
    const HANDLE handle = openPinned(native(path), FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) {
        *notDir = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                != FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(handle);
        *notDir = true;
        return false;
    }
    *dir = { qintptr(handle), path };
    return true;
}

void closeDir(DirHandle *dir)
{
    if (dir->isOpen())
        CloseHandle(HANDLE(dir->handle));
    dir->handle = -1;
}

bool listDir(const DirHandle &dir, std::vector<Entry> &entries)
{
    return listPath(dir.path, entries);
}

bool removeFileIn(const DirHandle &dir, const QString &name)
{
    return removeFile(joinPath(dir.path, name));
}

bool removeDirIn(const DirHandle &parent, const QString &name, DirHandle *dir)
{
    // Its own handle would refuse the removal. The one above still holds the path, so
    // whatever is at the name now is removed as itself: a link swapped in is not followed.
    closeDir(dir);
    return !injectFault(Op::Remove) && RemoveDirectoryW(native(joinPath(parent.path, name)).c_str());
}

Type typeOf(const QString &path, bool followLinks)
{
    const std::wstring name = native(path);
    if (injectFault(Op::Stat))
        return Type::Missing;
    const HANDLE handle = openEntry(name, FILE_READ_ATTRIBUTES, followLinks);
    if (handle == INVALID_HANDLE_VALUE)
        return attributesOf(name) == INVALID_FILE_ATTRIBUTES ? Type::Missing : Type::Other;
    FILE_ATTRIBUTE_TAG_INFO info{};
    const bool known = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info);
    CloseHandle(handle);
    return known ? typeFromAttributes(info.FileAttributes, info.ReparseTag) : Type::Other;
}

namespace {

bool checkStagedFile(const QString &path, bool *linkable)
{
    // Opened for reading as a copy would be: a file another process holds without sharing
    // reads fails the attempt, as an unreadable file does.
    if (injectFault(Op::Stat))
        return false;
    const HANDLE file = openEntry(native(path), GENERIC_READ, false);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    // Attributes belong to the file, not the name: a read-only staged file is copied, so
    // that its staged name can be removed without touching the installed file.
    *linkable = known && info.nNumberOfLinks == 1
            && !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    return known;
}

Result hardLink(const QString &existing, const QString &newPath)
{
    if (!injectFault(Op::Link) && CreateHardLinkW(native(newPath).c_str(), native(existing).c_str(), nullptr))
        return Result::Ok;
    // Volumes without hard links answer with many codes (FAT, network redirectors with
    // ERROR_INVALID_PARAMETER, too many links, no permission): whatever the reason, a copy
    // does the same job.
    return fromLastError() == Result::Exists ? Result::Exists : Result::Unsupported;
}

} // namespace

Result copyFile(const QString &from, const QString &to)
{
    const std::wstring target = native(to);
    // Data, attributes and times; never over an existing name.
    if (!injectFault(Op::Copy) && CopyFileExW(native(from).c_str(), target.c_str(), nullptr, nullptr, nullptr,
                    COPY_FILE_FAIL_IF_EXISTS))
        return Result::Ok;
    const Result result = fromLastError();
    if (result != Result::Exists)
        removeFile(to);
    return result;
}

namespace {

// A junction with the same reparse data (the same absolute target): an empty directory
// made a mount point.
Result copyJunction(const std::wstring &to, void *reparseData, DWORD size)
{
    if (!CreateDirectoryW(to.c_str(), nullptr))
        return fromLastError();
    const HANDLE dir = openEntry(to, GENERIC_WRITE, false);
    DWORD unused = 0;
    const bool made = dir != INVALID_HANDLE_VALUE
            && DeviceIoControl(dir, FSCTL_SET_REPARSE_POINT, reparseData, size, nullptr, 0,
                               &unused, nullptr);
    if (dir != INVALID_HANDLE_VALUE)
        CloseHandle(dir);
    if (!made)
        RemoveDirectoryW(to.c_str());
    return made ? Result::Ok : Result::Failed;
}

Result copyLink(const QString &from, const QString &to)
{
    const std::wstring source = native(from);
    const HANDLE link = openEntry(source, FILE_READ_ATTRIBUTES, false);
    if (link == INVALID_HANDLE_VALUE)
        return Result::Failed;
    union {
        SymlinkReparseData reparse;
        char bytes[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    } buffer;
    DWORD size = 0;
    const bool read = DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, &buffer,
                                      sizeof buffer, &size, nullptr);
    CloseHandle(link);
    if (read && buffer.reparse.tag == IO_REPARSE_TAG_MOUNT_POINT)
        return copyJunction(native(to), &buffer, size);
    if (!read || buffer.reparse.tag != IO_REPARSE_TAG_SYMLINK)
        return Result::Failed;
    const SymlinkReparseData &data = buffer.reparse;
    std::wstring text(data.pathBuffer + data.printNameOffset / sizeof(WCHAR),
                      data.printNameLength / sizeof(WCHAR));
    if (text.empty()) {
        text.assign(data.pathBuffer + data.substituteNameOffset / sizeof(WCHAR),
                    data.substituteNameLength / sizeof(WCHAR));
        if (text.rfind(L"\\??\\", 0) == 0)
            text.erase(0, 4);
    }
    DWORD flags = (attributesOf(source) & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    const std::wstring target = native(to);
    if (injectFault(Op::Link))
        return fromLastError();
    // Without elevation links can be made only in developer mode, and only with this flag,
    // which older versions of Windows refuse.
    if (CreateSymbolicLinkW(target.c_str(), text.c_str(),
                            flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        || CreateSymbolicLinkW(target.c_str(), text.c_str(), flags))
        return Result::Ok;
    return fromLastError();
}

Result makeDir(const QString &path)
{
    if (injectFault(Op::MakeDir))
        return fromLastError();
    return CreateDirectoryW(native(path).c_str(), nullptr) ? Result::Ok : fromLastError();
}

} // namespace

namespace {

// Without hard links (FAT) the old file is renamed to the backup name and the part put in
// its place: for a moment the target has no file.
Result replaceByRenamingAside(const std::wstring &from, const std::wstring &to,
                              const std::wstring &kept)
{
    if (!moveFile(to, kept, 0))
        return fromLastError();
    if (!moveFile(from, to, 0)) {
        moveFile(kept, to, 0);
        return Result::Failed;
    }
    return Result::Ok;
}

// The running updater's own executable cannot be replaced, but it can be renamed: it goes
// under a name of its own (`aside`, removed once it is free, by this run or a later one)
// and the part takes its place.
bool setOwnExecutableAside(const std::wstring &from, const std::wstring &to, const std::wstring &aside)
{
    if (!moveFile(to, aside, 0))
        return false;
    if (moveFile(from, to, 0))
        return true;
    moveFile(aside, to, 0);
    return false;
}

// FileRenameInfoEx and its flags, which older headers lack.
constexpr auto fileRenameInfoEx = FILE_INFO_BY_HANDLE_CLASS(22);
constexpr DWORD renameReplaceIfExists = 0x1;
constexpr DWORD renamePosixSemantics = 0x2;

// A rename over `to` that succeeds even while another process holds the old file with delete
// sharing: POSIX semantics, which Windows 10 1709 and later offer on NTFS (the holder keeps
// the old file). Opened for write-through, as MOVEFILE_WRITE_THROUGH opens it. False where
// the system or the volume does not offer it.
bool renameOverHeld(const std::wstring &from, const std::wstring &to)
{
    const HANDLE file = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_WRITE_THROUGH,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // The name in the kernel's form: "\??\" where Win32 has "\\?\".
    std::wstring name = to;
    name.replace(0, 4, L"\\??\\");
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    const DWORD flags = renameReplaceIfExists | renamePosixSemantics;
    std::memcpy(info, &flags, sizeof flags); // the Flags member of the union
    info->RootDirectory = nullptr;
    info->FileNameLength = DWORD(name.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    const bool renamed = SetFileInformationByHandle(file, fileRenameInfoEx, info, DWORD(buffer.size()));
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return renamed;
}

// The old file keeps a second name (`kept`) for the undo; then the part is renamed over the
// target. A holder that came after the check may refuse the ordinary rename; the POSIX one
// goes past it where it exists. The read-only attribute belongs to the file, so both names lose it while Windows
// would refuse the rename, and the backup name goes before it is given back.
Result replaceKeepingLink(const std::wstring &from, const std::wstring &to,
                          const std::wstring &kept, const std::wstring &aside, DWORD attributes)
{
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly)
        setAttributes(to, attributes & ~FILE_ATTRIBUTE_READONLY);
    bool replaced = moveFile(from, to, MOVEFILE_REPLACE_EXISTING);
    if (!replaced && (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION)) {
        const DWORD error = GetLastError();
        replaced = isOwnExecutable(to) ? setOwnExecutableAside(from, to, aside) : renameOverHeld(from, to);
        if (!replaced)
            SetLastError(error);
    }
    if (replaced)
        return Result::Ok;
    DeleteFileW(kept.c_str());
    if (readOnly)
        setAttributes(to, attributes);
    return Result::Failed;
}

// Opens `path` as its only holder, for writing data and for delete, clearing read-only for
// the moment it takes. A replacing rename fails while anyone else has the file open, even
// with delete sharing, and Windows refuses the write for a file mapped as a program or
// library.
bool canOpenAlone(const std::wstring &path, DWORD attributes)
{
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly)
        setAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    const bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
    const HANDLE file = CreateFileW(path.c_str(), DELETE | (isDir ? FILE_LIST_DIRECTORY : FILE_WRITE_DATA), 0,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (readOnly)
        setAttributes(path, attributes);
    SetLastError(error);
    return file != INVALID_HANDLE_VALUE;
}

// A directory can be renamed only while nothing inside it is open: it and everything below.
bool canOpenTreeAlone(const QString &path, DWORD attributes)
{
    if (!canOpenAlone(native(path), attributes))
        return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    std::vector<Entry> entries;
    return listPath(path, entries) && std::all_of(entries.begin(), entries.end(), [&](const Entry &entry) {
               const QString inside = joinPath(path, entry.name);
               const DWORD insideAttributes = attributesOf(native(inside));
               return insideAttributes != INVALID_FILE_ATTRIBUTES && canOpenTreeAlone(inside, insideAttributes);
           });
}

} // namespace

bool canReplace(const QString &target)
{
    const std::wstring path = native(target);
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // Only the updater's own executable, which runs, is set aside instead of replaced.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && isOwnExecutable(path))
        return true;
    return canOpenTreeAlone(target, attributes);
}

bool respell(const QString &from, const QString &to, const QString &via)
{
    const std::wstring source = native(from);
    const std::wstring target = native(to);
    if (!moveFile(source, target, 0))
        return false;
    // Windows renames an entry to another case of its name in one step. A file system that
    // ignores such a rename (Wine's on a Unix volume) gets two, through `via`, a name of the
    // updater's own that says what the entry is to be called: a kill between the two leaves
    // it there, and the next start gives it its name back.
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(target.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    const QString name = to.mid(to.lastIndexOf(QLatin1Char('/')) + 1);
    if (QString::fromWCharArray(data.cFileName) == name)
        return true;
    const std::wstring between = native(via);
    if (!moveFile(target, between, 0))
        return false;
    if (moveFile(between, target, 0))
        return true;
    moveFile(between, source, 0);
    return false;
}

Result replace(const QString &part, const QString &target, const QString &backup, const QString &aside, Undo *undo)
{
    const std::wstring from = native(part);
    const std::wstring to = native(target);
    const std::wstring kept = native(backup);
    const DWORD attributes = attributesOf(to);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Result::Failed;
    Result result;
    if (CreateHardLinkW(kept.c_str(), to.c_str(), nullptr))
        result = replaceKeepingLink(from, to, kept, native(aside), attributes);
    else if (fromLastError() == Result::Exists)
        return Result::Exists;
    else
        result = replaceByRenamingAside(from, to, kept);
    if (result == Result::Ok)
        *undo = (attributes & FILE_ATTRIBUTE_READONLY) ? Undo::BackupReadOnly : Undo::Backup;
    return result;
}

bool undoReplace(Undo undo, const QString &part, const QString &target, const QString &backup)
{
    Q_UNUSED(part);
    if (undo == Undo::None)
        return true;
    const std::wstring to = native(target);
    // The new file may be read-only (as staged); Windows refuses to rename over it then.
    const DWORD attributes = attributesOf(to);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        setAttributes(to, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!moveFile(native(backup), to, MOVEFILE_REPLACE_EXISTING)) {
        if (attributes != INVALID_FILE_ATTRIBUTES)
            setAttributes(to, attributes);
        return false;
    }
    if (undo == Undo::BackupReadOnly)
        setAttributes(to, attributesOf(to) | FILE_ATTRIBUTE_READONLY);
    return true;
}

bool renameToFreeName(const QString &from, const QString &to)
{
    return moveFile(native(from), native(to), 0);
}

bool openStagedFile(const DirHandle &from, const QString &name, StagedFile *file)
{
    // The name goes by path here; the directory's handle pins it.
    file->path = joinPath(from.path, name);
    return checkStagedFile(file->path, &file->linkable);
}

Result linkStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part)
{
    Q_UNUSED(from);
    Q_UNUSED(name);
    return file.linkable ? hardLink(file.path, joinPath(to.path, part)) : Result::Unsupported;
}

Result copyStagedFile(const StagedFile &file, const DirHandle &from, const QString &name, const DirHandle &to,
                      const QString &part)
{
    Q_UNUSED(from);
    Q_UNUSED(name);
    return copyFile(file.path, joinPath(to.path, part));
}

Result copyLinkIn(const DirHandle &from, const QString &name, const DirHandle &to, const QString &part)
{
    return copyLink(joinPath(from.path, name), joinPath(to.path, part));
}

Result makeDirIn(const DirHandle &dir, const QString &name)
{
    return makeDir(joinPath(dir.path, name));
}

bool syncFileIn(const DirHandle &dir, const QString &name)
{
    return flush(native(joinPath(dir.path, name)));
}

bool syncDir(const DirHandle &dir)
{
    // Every name was made by a call that is written through, or is synced with its file.
    Q_UNUSED(dir);
    return true;
}

Result replaceIn(const DirHandle &dir, const QString &part, const QString &target, const QString &backup,
                 const QString &aside, Undo *undo)
{
    return replace(joinPath(dir.path, part), joinPath(dir.path, target), joinPath(dir.path, backup),
                   joinPath(dir.path, aside), undo);
}

bool renameToFreeNameIn(const DirHandle &dir, const QString &from, const QString &to)
{
    return renameToFreeName(joinPath(dir.path, from), joinPath(dir.path, to));
}

bool rename(const QString &from, const QString &to)
{
    // Windows refuses MOVEFILE_REPLACE_EXISTING for a directory, even onto a free name.
    const std::wstring source = native(from);
    const DWORD attributes = attributesOf(source);
    const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return moveFile(source, native(to), directory ? 0 : MOVEFILE_REPLACE_EXISTING);
}

bool removeFile(const QString &path)
{
    const std::wstring name = native(path);
    const DWORD attributes = attributesOf(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (injectFault(Op::Remove))
        return false;
    // A link to a directory is removed as a directory; it is never followed.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return RemoveDirectoryW(name.c_str());
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return DeleteFileW(name.c_str());
    // Read-only refuses the delete, and the attribute is shared by every name of the file (a
    // backup is a second name of an installed file): cleared, the name deleted, and given
    // back, all through one handle, so that the file's other names keep it.
    const HANDLE file = CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (!basic.FileAttributes)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool deleted = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)
            && SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
    return deleted;
}

bool removeDir(const QString &path)
{
    return !injectFault(Op::Remove) && RemoveDirectoryW(native(path).c_str());
}

bool writeRecord(const QString &path, const QStringList &lines)
{
    if (!removeTree(path))
        return false;
    const std::wstring name = native(path);
    if (injectFault(Op::Open))
        return false;
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // UTF-16 as listed, each line ended by a NUL, which no name holds.
    std::wstring data;
    for (const QString &line : lines)
        data += line.toStdWString() + L'\0';
    const DWORD size = DWORD(data.size() * sizeof(wchar_t));
    DWORD written = 0;
    const bool ok = WriteFile(file, data.data(), size, &written, nullptr) && written == size;
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(name.c_str());
        SetLastError(error);
    }
    return ok;
}

bool readRecord(const QString &path, qint64 limit, QStringList *lines)
{
    lines->clear();
    const std::wstring name = native(path);
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(file);
        removeTree(path); // a leftover of another kind
        return true;
    }
    if ((quint64(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > quint64(limit)) {
        CloseHandle(file);
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    std::wstring data;
    wchar_t buffer[4096];
    DWORD read = 0;
    while (qint64(data.size() * sizeof(wchar_t)) <= limit && ReadFile(file, buffer, sizeof buffer, &read, nullptr)
           && read > 0)
        data.append(buffer, read / sizeof(wchar_t));
    CloseHandle(file);
    if (qint64(data.size() * sizeof(wchar_t)) > limit) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    for (size_t at = 0; at < data.size();) {
        const size_t end = std::min(data.find(L'\0', at), data.size());
        if (end > at)
            *lines << QString::fromWCharArray(data.data() + at, int(end - at));
        at = end + 1;
    }
    return true;
}

LockHandle takeLock(const QString &path, bool *heldElsewhere)
{
    *heldElsewhere = false;
    const std::wstring name = native(path);
    for (int tries = 0; tries < 3; ++tries) {
        // Shared with no one, and gone with the last handle: a killed holder's lock goes
        // with its process. A link at the name is opened as itself, never followed.
        const HANDLE file = injectFault(Op::Open)
                ? INVALID_HANDLE_VALUE
                : CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            *heldElsewhere = error == ERROR_SHARING_VIOLATION;
            // A directory or a read-only file at the name is a leftover.
            if (*heldElsewhere || attributesOf(name) == INVALID_FILE_ATTRIBUTES || !removeTree(path)) {
                SetLastError(error);
                return noLock;
            }
            continue;
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(file, &info)
            && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            return LockHandle(file);
        CloseHandle(file); // a link: closing removes it, not what it points to
    }
    return noLock;
}

void releaseLock(LockHandle lock, const QString &path)
{
    Q_UNUSED(path);
    if (lock != noLock)
        CloseHandle(HANDLE(lock));
}

bool ownExecutable(QString *path)
{
    std::wstring name(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &name[0], DWORD(name.size()));
    if (n == 0 || n >= name.size())
        return false;
    name.resize(n);
    // The loader keeps the name it was given, which may be a short one (the shell starts
    // programs by their short path where the long one is too long for it): the long form is
    // the installation's own.
    std::wstring longName(32768, L'\0');
    n = GetLongPathNameW(name.c_str(), &longName[0], DWORD(longName.size()));
    if (n > 0 && n < longName.size())
        name.assign(longName.data(), n);
    QString text = QString::fromStdWString(name);
    if (text.startsWith(QLatin1String("\\\\?\\UNC\\")))
        text = QLatin1String("\\\\") + text.mid(8);
    else if (text.startsWith(QLatin1String("\\\\?\\")))
        text = text.mid(4);
    *path = QDir::fromNativeSeparators(text);
    return true;
}

bool enterDirectory(const QString &dir)
{
    // A program cannot be started in a working directory longer than MAX_PATH, nor can most
    // programs work in one: a long path is entered by its short form, where the volume has
    // one.
    std::wstring path = QDir::toNativeSeparators(dir).toStdWString();
    if (path.size() + 2 >= MAX_PATH) {
        std::wstring shortName(32768, L'\0');
        const DWORD n = GetShortPathNameW(native(dir).c_str(), &shortName[0], DWORD(shortName.size()));
        shortName.resize(n < shortName.size() ? n : 0);
        if (shortName.rfind(L"\\\\?\\UNC\\", 0) == 0)
            shortName.replace(0, 8, L"\\\\");
        else if (shortName.rfind(L"\\\\?\\", 0) == 0)
            shortName.erase(0, 4);
        if (shortName.empty() || shortName.size() + 2 >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE); // no short form, or still too long
            return false;
        }
        path = shortName;
    }
    return SetCurrentDirectoryW(path.c_str());
}

bool lowerIoPriority()
{
    return SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
}

QByteArray forOutput(const QString &path)
{
    // UTF-8 as the ANSI code page (a system setting) maps everything and takes no flag.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const auto text = reinterpret_cast<const wchar_t *>(path.utf16());
    const int size = WideCharToMultiByte(CP_ACP, flags, text, int(path.size()), nullptr, 0,
                                         nullptr, nullptr);
    QByteArray bytes(size, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, flags, text, int(path.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

bool isInUse(int code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

int lastErrorCode()
{
    return int(GetLastError());
}

QString errorText(int code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                                | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0,
                                        nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return message;
}

} // namespace install::sys
