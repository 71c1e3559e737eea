// Links against the installed library and exits 0 only when its functions answer; prints
// the version of the Qt it runs on.
// The header is included in both forms a user may write; its guard makes the second a no-op.
#include <quillmoor/tools.h>
#include <tools.h>

#include <cstdio>

const QString *entityTableSeenByTable();

int main()
{
    if (getToken(QStringLiteral("1.2.3"), QStringLiteral("."), 2) != QLatin1String("3")
        || isWindowsVista()) {
        std::fputs("the library's functions gave wrong answers\n", stderr);
        return 1;
    }
    // The entity table is one object in the program, not a copy per source file.
    if (entityTableSeenByTable() != htmlEntityTable) {
        std::fputs("each source file has its own copy of the entity table\n", stderr);
        return 1;
    }
    std::puts(qVersion());
    return 0;
}
