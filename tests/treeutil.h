// Building and reading small directory trees for the file-system tests.
#ifndef QUILLMOOR_TESTS_TREEUTIL_H
#define QUILLMOOR_TESTS_TREEUTIL_H

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringList>

#include <filesystem>

namespace treeutil {

// Lays out a tree below `root` from lines such as
//   "dir/"            a directory
//   "a/b.txt=hello"   a file with that content (directories created as needed)
//   "lnk->target"     a symbolic link holding the text "target"
inline bool build(const QString &root, const QStringList &layout)
{
    for (const QString &line : layout) {
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
