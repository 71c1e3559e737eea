// The header in its short form, in a second source file of the same program.
#include <tools.h>

const QString *entityTableSeenByTable()
{
    return htmlEntityTable;
}
