// What the fault plans of the tests share: the names of the file-system layer's operations
// and how a failed call leaves its error.
#ifndef QUILLMOOR_TESTS_FAULTOPS_H
#define QUILLMOOR_TESTS_FAULTOPS_H

#include "install_sys.h"

#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#endif

inline const char *opName(install::sys::Op op)
{
    static const char *const names[] = { "List", "Stat", "Open", "Link", "Copy", "MakeDir", "Sync", "Rename",
                                         "Remove", "Thread" };
    static_assert(sizeof names / sizeof *names == size_t(install::sys::Op::Count), "a name for every operation");
    return names[size_t(op)];
}

// Sets the error a failed call leaves, as the system would: GetLastError on Windows, errno
// elsewhere.
inline void setSystemError(int error)
{
#ifdef _WIN32
    SetLastError(DWORD(error));
#else
    errno = error;
#endif
}

#endif
