// Links against the installed library and exits 0 only when its functions answer.
#include <tools.h>

int main()
{
    return getToken(QStringLiteral("1.2.3"), QStringLiteral("."), 2) == QLatin1String("3")
                   && !isWindowsVista()
            ? 0
            : 1;
}
