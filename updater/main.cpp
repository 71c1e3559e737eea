#include "updater.h"

#include <QApplication>

#include <cstring>
#include <vector>

#ifndef Q_OS_WIN
#include <csignal>
#endif

namespace {

#ifndef Q_OS_WIN
bool platformChosen(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

// An update started over SSH, from a service or with a display that has gone must still
// install: without a display that answers, the window is drawn off screen (Qt tries the
// platforms in the order given). The choice goes in as an argument, not the environment,
// so that the main application started later makes its own. The output is a courtesy: a
// reader that went away (a launcher that quit) must not end the update with SIGPIPE.
void prepareHeadlessStart(int argc, char **argv, std::vector<char *> &arguments)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (platformChosen(argc, argv))
        return;
    static char option[] = "-platform";
    static char wayland[] = "wayland;xcb;offscreen";
    static char x11[] = "xcb;offscreen";
    static char none[] = "offscreen";
    arguments.push_back(option);
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        arguments.push_back(wayland);
    else if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        arguments.push_back(x11);
    else
        arguments.push_back(none);
}
#endif

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> arguments(argv, argv + argc);
#ifndef Q_OS_WIN
    prepareHeadlessStart(argc, argv, arguments);
#endif
    int count = int(arguments.size());
    arguments.push_back(nullptr);
    QApplication app(count, arguments.data());
    // Declared after the application, so it is destroyed first.
    Updater updater(nullptr);
    updater.show();
    return app.exec();
}
