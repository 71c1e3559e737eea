// Shell launch where there is no Windows shell: executables are started as detached
// processes, any other file is handed to the desktop's default application.
#include "tools.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {

QString fromShellText(const ShellChar *text)
{
    return text ? QString::fromUtf16(text) : QString();
}

} // namespace

bool isWindowsVista()
{
    // No elevation prompt exists here to ask for.
    return false;
}

int shellExecuteFile(ShellWindow window, const ShellChar *file, const ShellChar *parameters,
                     const ShellChar *directory)
{
    Q_UNUSED(window);
    const QString path = fromShellText(file);
    if (path.isEmpty())
        return 0;
    const QFileInfo info(path);
    if (!info.exists())
        return 0;

    if (info.isFile() && info.isExecutable()) {
        const QStringList arguments = QProcess::splitCommand(fromShellText(parameters));
        const QString workingDirectory =
                directory ? fromShellText(directory) : QDir::currentPath();
        return QProcess::startDetached(info.absoluteFilePath(), arguments, workingDirectory)
                ? 1 : 0;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath())) ? 1 : 0;
}
