// Opening a local file or directory with the desktop's default action.
#include "tools.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

// Escapes the characters that would end the path part of the URL text ("#", "?") or start an
// escape ("%"). One pass, so the escapes added here are never escaped again.
QString escapeForFileUrl(const QString &path)
{
    QString escaped;
    escaped.reserve(path.size());
    for (const QChar ch : path) {
        switch (ch.unicode()) {
        case '%': escaped += QLatin1String("%25"); break;
        case '#': escaped += QLatin1String("%23"); break;
        case '?': escaped += QLatin1String("%3F"); break;
        default: escaped += ch; break;
        }
    }
    return escaped;
}

} // namespace

bool openLocalFile(QString path)
{
    // An empty path names no file; "file:///" alone would open the root directory.
    if (path.isEmpty())
        return false;
    const QString slashed = toForwardSlashes(path);
    // A drive path ("D:/x") or a relative one needs the third "/" of "file:///"; an absolute
    // Unix path brings its own, and a fourth would make the local file "//home/...".
    const QString prefix = slashed.startsWith(QLatin1Char('/')) ? QStringLiteral("file://")
                                                                 : QStringLiteral("file:///");
    return QDesktopServices::openUrl(QUrl(prefix + escapeForFileUrl(slashed)));
}

bool openInShell(QString path)
{
    return openLocalFile(path);
}
