// The names of the file-system layer's operations, as the fault plans of the tests write them.
#ifndef QUILLMOOR_TESTS_FAULTOPS_H
#define QUILLMOOR_TESTS_FAULTOPS_H

#include "install_sys.h"

inline const char *opName(install::sys::Op op)
{
    static const char *const names[] = { "List", "Stat", "Open", "Link", "Copy", "MakeDir", "Sync", "Rename",
                                         "Remove", "Thread" };
    static_assert(sizeof names / sizeof *names == size_t(install::sys::Op::Count), "a name for every operation");
    return names[size_t(op)];
}

#endif
