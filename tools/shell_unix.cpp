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

// Splits parameters into arguments the way a POSIX shell does, without any expansion:
// blanks separate, '...' is literal, "..." keeps blanks and lets a backslash escape
// \ " $ ` and a line break, and a backslash outside quotes escapes the next character.
QStringList splitParameters(const QString &text)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    enum { Plain, Single, Double } quote = Plain;
    for (int i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        switch (quote) {
        case Single:
            if (ch == QLatin1Char('\''))
                quote = Plain;
            else
                current += ch;
            break;
        case Double:
            if (ch == QLatin1Char('"')) {
                quote = Plain;
            } else if (ch == QLatin1Char('\\') && i + 1 < text.size()
                       && QStringLiteral("\\\"$`\n").contains(text.at(i + 1))) {
                current += text.at(++i);
            } else {
                current += ch;
            }
            break;
        case Plain:
            if (ch == QLatin1Char(' ') || ch == QLatin1Char('\t') || ch == QLatin1Char('\n')) {
                if (inArgument)
                    arguments << current;
                current.clear();
                inArgument = false;
                continue;
            }
            inArgument = true;
            if (ch == QLatin1Char('\''))
                quote = Single;
            else if (ch == QLatin1Char('"'))
                quote = Double;
            else if (ch == QLatin1Char('\\') && i + 1 < text.size())
                current += text.at(++i);
            else
                current += ch;
            break;
        }
    }
    if (inArgument)
        arguments << current;
    return arguments;
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
        const QStringList arguments = splitParameters(fromShellText(parameters));
        if (directory) {
            return QProcess::startDetached(info.absoluteFilePath(), arguments, fromShellText(directory))
                    ? 1 : 0;
        }
        // The program inherits the working directory, and a relative name is used from there
        // as it is: the directory's name is never decoded, which would lose a byte that is
        // not UTF-8. A bare name must not be looked up in PATH.
        const QString program = path.contains(QLatin1Char('/')) ? path : QLatin1String("./") + path;
        return QProcess::startDetached(program, arguments, QString()) ? 1 : 0;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath())) ? 1 : 0;
}
