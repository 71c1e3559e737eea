// Building and reading small directory trees for the file-system tests.
#ifndef QUILLMOOR_TESTS_TREEUTIL_H
#define QUILLMOOR_TESTS_TREEUTIL_H

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStringList>

#include <QTemporaryDir>

#include <filesystem>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace treeutil {

// Whether symbolic links can be made and read back here. Wine, for one, reports success for
// CreateSymbolicLinkW and makes nothing.
inline bool canMakeLinks()
{
    static const bool can = [] {
        QTemporaryDir dir;
        std::error_code error;
        const std::filesystem::path link = (dir.path() + QStringLiteral("/l")).toStdU16String();
        std::filesystem::create_symlink("target", link, error);
        return !error && std::filesystem::read_symlink(link, error) == "target" && !error;
    }();
    return can;
}

inline bool hasLinks(const QStringList &layout)
{
    return !layout.filter(QStringLiteral("->")).isEmpty();
}

// Skips the current test (row) when it needs links that cannot be made here.
#define TREEUTIL_SKIP_WITHOUT_LINKS(layout)                                                       \
    do {                                                                                          \
        if (treeutil::hasLinks(layout) && !treeutil::canMakeLinks())                              \
            QSKIP("symbolic links cannot be made and read back on this system");                 \
    } while (false)

// A name starting with "." is hidden on Unix; on Windows it is given the hidden attribute, so
// that the same layouts mean the same there. "+.name" makes ".name" without the attribute:
// hidden on Unix, a plain entry on Windows.
inline void applyHiddenNames(const QString &root, const QString &relative)
{
    QString path = root;
    for (QString part : relative.split(QLatin1Char('/'))) {
        const bool visible = part.startsWith(QLatin1String("+."));
        if (visible)
            part.remove(0, 1);
        path += QLatin1Char('/') + part;
#ifdef Q_OS_WIN
        if (!visible && part.startsWith(QLatin1Char('.')) && QFileInfo::exists(path)) {
            const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
            SetFileAttributesW(name.c_str(), GetFileAttributesW(name.c_str()) | FILE_ATTRIBUTE_HIDDEN);
        }
#endif
    }
}

// Lays out a tree below `root` from lines such as
//   "dir/"            a directory
//   "a/b.txt=hello"   a file with that content (directories created as needed)
//   "lnk->target"     a symbolic link holding the text "target"
//   "pipe|"           a FIFO (not on Windows)
inline bool build(const QString &root, const QStringList &layout)
{
    for (QString line : layout) {
        // The names as they are made, without the "+" of "+.name".
        line.replace(QLatin1String("/+."), QLatin1String("/."));
        if (line.startsWith(QLatin1String("+.")))
            line.remove(0, 1);
        const int arrow = line.indexOf(QLatin1String("->"));
        const int equals = line.indexOf(QLatin1Char('='));
        if (arrow >= 0) {
            const QString path = root + QLatin1Char('/') + line.left(arrow);
            QDir().mkpath(QFileInfo(path).absolutePath());
            std::error_code error;
            std::filesystem::create_symlink(line.mid(arrow + 2).toStdString(),
                                            path.toStdString(), error);
            if (error)
                return false;
        } else if (line.endsWith(QLatin1Char('|'))) {
#ifdef Q_OS_WIN
            return false;
#else
            const QString path = root + QLatin1Char('/') + line.chopped(1);
            QDir().mkpath(QFileInfo(path).absolutePath());
            if (::mkfifo(QFile::encodeName(path).constData(), 0644) != 0)
                return false;
#endif
        } else if (line.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(root + QLatin1Char('/') + line))
                return false;
        } else {
            const QString name = equals >= 0 ? line.left(equals) : line;
            const QString path = root + QLatin1Char('/') + name;
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.write(equals >= 0 ? line.mid(equals + 1).toUtf8() : QByteArray());
        }
    }
#ifdef Q_OS_WIN
    for (const QString &line : layout) {
        const int end = line.indexOf(QRegularExpression(QStringLiteral("=|->|/$")));
        applyHiddenNames(root, end >= 0 ? line.left(end) : line);
    }
#endif
    return true;
}

// Reads a tree back in the same notation, hidden entries included, sorted, so that two
// trees compare as lists. Links are reported with their text and never followed.
inline QStringList read(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        const QFileInfo info(path);
        std::error_code error;
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(path.toStdString(), error))) {
            lines << relative + QLatin1String("->")
                            + QString::fromStdString(
                                    std::filesystem::read_symlink(path.toStdString(), error).string());
        } else if (info.isDir()) {
            lines << relative + QLatin1Char('/');
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            lines << relative + QLatin1Char('=') + QString::fromUtf8(file.readAll());
        }
    }
    lines.sort();
    return lines;
}

} // namespace treeutil

#endif
