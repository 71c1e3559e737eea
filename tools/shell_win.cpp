// Shell launch on Windows. Win32 only, so that it also builds without Qt (the Windows
// layer's own tests cross-compile it on its own).
#include "shell_win.h"

#include <shellapi.h>

bool isWindowsVista()
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    // A failed query leaves the zeros, which answer "not 6.0".
    GetVersionExW(&info);
    return info.dwMajorVersion == 6 && info.dwMinorVersion == 0;
}

int shellExecuteFile(HWND window, const wchar_t *file, const wchar_t *parameters,
                     const wchar_t *directory)
{
    // Only 6.0 gets the elevation prompt; the verb is never a null pointer.
    const wchar_t *verb = isWindowsVista() ? L"runas" : L"";

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    // The structure's real size: a fixed 60 is right only for 32-bit builds.
    info.cbSize = sizeof(SHELLEXECUTEINFOW);
    info.fMask = 0;
    info.hwnd = window;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = directory;
    // The main application must start visible; SW_HIDE would hide its first window.
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info);
}
