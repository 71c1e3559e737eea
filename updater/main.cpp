#include "updater.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Declared after the application, so it is destroyed first.
    Updater updater(nullptr);
    updater.show();
    return app.exec();
}
