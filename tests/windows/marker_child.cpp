// Stand-in for the main application in the shell-launch tests under Wine: a GUI program that
// reports how it was started and then stays alive until the test lets it go.
//
//   marker_child.exe <marker> <release>
//
// It writes <marker> at once with the show command and working directory it got, then waits
// for the file <release> to appear and rewrites <marker> with "released" (or "gave-up" when
// nobody released it in time, which is what a launch that waited for it would cause).
// Each write goes to a temporary file first and is renamed over <marker>, so the test never
// reads half a marker; the rename is retried while the test has <marker> open.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <shellapi.h>
#include "utf8.h"

#include <string>

namespace {

bool writeMarker(const std::wstring &path, const std::string &text)
{
    const std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr);
    CloseHandle(file);
    if (!ok || written != text.size())
        return false;
    // The test polls <marker>, and Wine (Windows too, short of POSIX rename semantics)
    // refuses to replace a file another process has open; that lasts only as long as a read.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 2;
    const std::wstring marker = argv[1];
    const std::wstring release = argv[2];
    LocalFree(argv);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);

    wchar_t directory[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);

    std::string report = "wShowWindow=" + std::to_string(startup.wShowWindow) + "\n"
            + "usesShowWindow=" + ((startup.dwFlags & STARTF_USESHOWWINDOW) ? "1" : "0") + "\n"
            + "cwd=" + toUtf8(directory) + "\n";
    if (!writeMarker(marker, report + "state=waiting\n"))
        return 3;

    // Long enough for a slow Wine start, short enough that a forgotten child cannot keep
    // the Wine session (and so the suite) alive for long.
    bool released = false;
    for (int i = 0; i < 600 && !released; ++i) {
        released = GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!released)
            Sleep(50);
    }
    return writeMarker(marker, report + (released ? "state=released\n" : "state=gave-up\n"))
            ? 0 : 4;
}
