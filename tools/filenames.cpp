// File names and paths: taking a path apart, new names made from it, and removing a tree.
#include "tools.h"
#include "tools_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

using tools_p::emptyText;

namespace {

// Joins a directory and a name with one "/": a root directory ("/", "C:/") already ends in
// one, and a doubled separator at the front would read as a network path on Windows.
QString joinPath(const QString &directory, const QString &name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

bool isForbiddenInFileName(QChar ch)
{
    switch (ch.unicode()) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
    case '\n': case '\a': case '\f': case '\r': case '\t': case '\v':
        return true;
    default:
        return false;
    }
}

// One line per entry, flushed at once so that a reader sees the progress even when the
// removal stops or the process dies part-way.
void writeRemovedLine(const QString &path)
{
    QByteArray line = path.toLocal8Bit();
    line.append('\n');
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

// A directory entry reached through a link of any kind (a symbolic link, or on Windows a
// junction, which Qt 6 does not report as a symbolic link) resolves somewhere other than
// its own name inside its parent.
bool isLinkEntry(const QFileInfo &entry, const QString &canonicalParent)
{
    if (entry.isSymLink())
        return true;
    if (!entry.isDir())
        return false;
    return entry.canonicalFilePath() != joinPath(canonicalParent, entry.fileName());
}

// Removes the link itself, never what it points to. Unix unlinks a link to a directory like
// any file; Windows wants a directory link removed as a directory.
bool removeLink(const QString &path)
{
    if (QFile::remove(path))
        return true;
    return QDir().rmdir(path);
}

bool removeTree(const QString &dirPath)
{
    QDir dir(dirPath);
    if (!dir.exists())
        return true;
    const QString canonicalParent = dir.canonicalPath();
    // QDir lists a dangling link only as a system entry, yet it is an entry of the tree like
    // any other: left out, it would keep the directory from being removed. The other system
    // entries (sockets, FIFOs, devices) stay out, as without the filter.
    const QFileInfoList entries = dir.entryInfoList(
            QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);

    bool ok = true;
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink() && !entry.isDir() && !entry.isFile())
            continue;
        const QString path = entry.absoluteFilePath();
        // Links are removed as links: following one to a directory would empty a directory
        // that lies outside the tree.
        if (isLinkEntry(entry, canonicalParent))
            ok = removeLink(path);
        else if (entry.isDir())
            ok = removeTree(path);
        else
            ok = QFile::remove(path);
        writeRemovedLine(path);
        if (!ok)
            break;
    }
    // Tried even after a failure; it then fails because the directory is not empty.
    const bool removed = dir.rmdir(dir.absolutePath());
    return ok && removed;
}

} // namespace

QString extractFileName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? emptyText() : name;
}

QString extractFilePath(const QString &path)
{
    const QString directory = QFileInfo(path).absolutePath();
    return directory.isEmpty() ? emptyText() : directory;
}

QString extractFileExt(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix();
    return suffix.isEmpty() ? emptyText() : QLatin1Char('.') + suffix;
}

QString changeFileExt(const QString &path, const QString &newExt)
{
    const QFileInfo info(path);
    return joinPath(info.absolutePath(), info.baseName() + newExt);
}

QString uniqueFileName(const QString &path)
{
    if (!QFileInfo::exists(path))
        return path.isNull() ? emptyText() : path;
    const QFileInfo info(path);
    const QString directory = info.absolutePath();
    const QString stem = info.baseName() + QLatin1Char('(');
    const QString tail = QStringLiteral(").") + info.completeSuffix();
    // 64 bits so that the count can never wrap, however many names are taken.
    for (qint64 counter = 1;; ++counter) {
        const QString candidate = joinPath(directory, stem + QString::number(counter) + tail);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

QString cleanFileName(const QString &name, const QString &replacement)
{
    // One pass over the name: the replacement is inserted as it is and never scanned again,
    // so a replacement that holds a forbidden character cannot make the result grow
    // without bound.
    QString result = emptyText();
    result.reserve(name.size());
    for (const QChar ch : name) {
        if (isForbiddenInFileName(ch))
            result.append(replacement);
        else
            result.append(ch);
    }
    return result;
}

QString toForwardSlashes(QString path)
{
    if (path.isNull())
        return emptyText();
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

bool removeDirTree(QDir &dir)
{
    // Given a link, the tree is the link itself: what it points to lies outside.
    const QFileInfo root(dir.absolutePath());
    if (root.isSymLink())
        return removeLink(root.absoluteFilePath());
    // A fresh listing of the whole directory: the caller's name filters must not hide
    // entries from a removal that is meant to take everything.
    return removeTree(dir.absolutePath());
}
