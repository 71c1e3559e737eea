// The Win32 shell launch alone, without Qt, for code that builds with Win32 only (the
// Windows layer's own test programs). tools.h declares the same two functions for the rest.
#ifndef QUILLMOOR_SHELL_WIN_H
#define QUILLMOOR_SHELL_WIN_H

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

bool isWindowsVista();
int shellExecuteFile(HWND window, const wchar_t *file, const wchar_t *parameters,
                     const wchar_t *directory);

#endif // QUILLMOOR_SHELL_WIN_H
