// The Windows shell layer under a real Windows API (Wine in CI): the version test against
// the version Windows reports, and real launches of marker_child.exe through the shell.
//
//   tst_shell_win.exe <winxp|vista|win7|win10>
//
// The argument names the Windows version the caller has set up (Wine's registry value
// HKCU\Software\Wine\Version); the program checks that Windows reports it before trusting
// anything else.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include "check.h"
#include "shell_win.h"
#include "utf8.h"

#include <cstring>
#include <string>


namespace {

struct WindowsVersion
{
    const char *name;
    DWORD major;
    DWORD minor;
    bool vista;
};

// What each Wine setting reports through RtlGetVersion, which no compatibility shim bends.
const WindowsVersion knownVersions[] = {
    {"winxp", 5, 1, false},
    {"vista", 6, 0, true},
    {"win7", 6, 1, false},
    {"win10", 10, 0, false},
};

// Bounds for waiting on the child; generous because a cold Wine can be slow. They only stop
// a broken run from hanging, nothing is timed.
const int kPollMs = 50;
const int kWaitBoundMs = 30000;

std::wstring moduleDirectory()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring result = path;
    return result.substr(0, result.find_last_of(L'\\'));
}

bool readFile(const std::wstring &path, std::string *contents)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    contents->clear();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        contents->append(buffer, got);
    CloseHandle(file);
    return true;
}

// The value of "key=value" on its own line of `text`, or "" when missing.
std::string field(const std::string &text, const std::string &key)
{
    const std::string start = key + "=";
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, start.size(), start) == 0)
            return line.substr(start.size());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return std::string();
}

// Polls the marker until its state is one of `wanted` (separated by "|") or the bound runs
// out; returns the marker's last text.
std::string waitForState(const std::wstring &marker, const std::string &wanted)
{
    std::string contents;
    for (int waited = 0; waited < kWaitBoundMs; waited += kPollMs) {
        if (readFile(marker, &contents)
            && ("|" + wanted + "|").find("|" + field(contents, "state") + "|") != std::string::npos)
            return contents;
        Sleep(kPollMs);
    }
    return contents;
}

bool samePath(const std::string &utf8, const std::wstring &path)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                            size);
    auto trimmed = [](std::wstring text) {
        while (text.size() > 3 && text.back() == L'\\')
            text.pop_back();
        return text;
    };
    return lstrcmpiW(trimmed(wide).c_str(), trimmed(path).c_str()) == 0;
}

// Creates the release file when it goes out of scope, so that a child left behind by a
// failed check ends at once instead of holding the Wine session open.
class Release
{
public:
    explicit Release(std::wstring path) : m_path(std::move(path)) {}
    ~Release() { now(); }
    void now()
    {
        HANDLE file = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }

private:
    std::wstring m_path;
};

void testVersion(const WindowsVersion &expected)
{
    using RtlGetVersionFunction = LONG(WINAPI *)(OSVERSIONINFOW *);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW reported;
    ZeroMemory(&reported, sizeof reported);
    reported.dwOSVersionInfoSize = sizeof reported;
    const bool known = rtlGetVersion && rtlGetVersion(&reported) == 0;
    const std::string seen = std::to_string(reported.dwMajorVersion) + "."
            + std::to_string(reported.dwMinorVersion);
    const std::string prefix = std::string("[") + expected.name + "] ";
    check::that(known && reported.dwMajorVersion == expected.major
                        && reported.dwMinorVersion == expected.minor,
                prefix + "Windows reports the version that was set up",
                "reported " + seen);
    check::that(isWindowsVista() == expected.vista,
                prefix + "isWindowsVista() is " + (expected.vista ? "true" : "false")
                        + " on " + seen);
}

void testLaunch(const std::string &name, const std::wstring &child, const std::wstring &work,
                const wchar_t *directory, const std::wstring &expectedDirectory)
{
    const std::wstring marker = work + L"\\marker.txt";
    const std::wstring releaseFile = work + L"\\release";
    DeleteFileW(marker.c_str());
    DeleteFileW(releaseFile.c_str());
    const std::wstring parameters = L"\"" + marker + L"\" \"" + releaseFile + L"\"";

    Release release(releaseFile);
    const int result = shellExecuteFile(nullptr, child.c_str(), parameters.c_str(), directory);
    if (!check::that(result != 0, name + ": the shell accepts the request",
                     "result 0, error " + std::to_string(GetLastError())))
        return;

    // The child cannot end before it is released, so finding it waiting proves that the
    // call came back while the started program runs; had the call waited for it, the child
    // would have given up first.
    const std::string started = waitForState(marker, "waiting|released|gave-up");
    if (!check::that(field(started, "state") == "waiting",
                     name + ": the call returned while the started program still runs",
                     started.empty() ? "no marker written" : "marker: " + started))
        return;
    check::that(field(started, "wShowWindow") == std::to_string(SW_SHOWNORMAL)
                        && field(started, "usesShowWindow") == "1",
                name + ": the program is started with SW_SHOWNORMAL",
                "wShowWindow=" + field(started, "wShowWindow")
                        + " usesShowWindow=" + field(started, "usesShowWindow"));
    check::that(samePath(field(started, "cwd"), expectedDirectory),
                name + ": the program's working directory",
                "got " + field(started, "cwd") + ", expected " + toUtf8(expectedDirectory));

    release.now();
    const std::string ended = waitForState(marker, "released|gave-up");
    check::that(field(ended, "state") == "released", name + ": the program ran to its end",
                "marker: " + ended);
}

struct PendingCall
{
    std::wstring file;
    int result = -1;
};

DWORD WINAPI runPendingCall(void *data)
{
    auto *call = static_cast<PendingCall *>(data);
    call->result = shellExecuteFile(nullptr, call->file.c_str(), nullptr, nullptr);
    return 0;
}

BOOL CALLBACK closeOwnDialog(HWND window, LPARAM closed)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (process == GetCurrentProcessId() && std::wcscmp(className, L"#32770") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        ++*reinterpret_cast<int *>(closed);
    }
    return TRUE;
}

// The request carries no flag against the shell's own error message. Without a display
// Wine cannot show it and the call returns at once; where a message box does appear (a
// display, real Windows) it is closed here, so the run cannot hang on it either way.
void testMissingFile(const std::string &name, const std::wstring &work)
{
    PendingCall call;
    call.file = work + L"\\no such program.exe";
    HANDLE thread = CreateThread(nullptr, 0, runPendingCall, &call, 0, nullptr);
    if (!check::that(thread != nullptr, name + ": a thread for the call"))
        return;
    int dialogs = 0;
    bool returned = false;
    for (int waited = 0; waited < kWaitBoundMs && !returned; waited += kPollMs) {
        returned = WaitForSingleObject(thread, kPollMs) == WAIT_OBJECT_0;
        if (!returned)
            EnumWindows(closeOwnDialog, reinterpret_cast<LPARAM>(&dialogs));
    }
    CloseHandle(thread);
    if (dialogs > 0)
        check::note(name + ": closed " + std::to_string(dialogs) + " shell message(s)");
    if (!check::that(returned, name + ": the call returns"))
        return;
    check::that(call.result == 0, name + ": the result is 0",
                "result " + std::to_string(call.result));
}

} // namespace

int main(int argc, char **argv)
{
    const WindowsVersion *expected = nullptr;
    for (const WindowsVersion &version : knownVersions) {
        if (argc == 2 && std::strcmp(argv[1], version.name) == 0)
            expected = &version;
    }
    if (!expected) {
        std::printf("usage: tst_shell_win.exe winxp|vista|win7|win10\n");
        return 2;
    }

    testVersion(*expected);

    const std::wstring here = moduleDirectory();
    const std::wstring child = here + L"\\marker_child.exe";
    // A space in the directory makes the file and its quoted parameters travel as one piece.
    const std::wstring work = here + L"\\work dir";
    CreateDirectoryW(work.c_str(), nullptr);
    SetCurrentDirectoryW(work.c_str());

    const std::string verb = expected->vista ? "\"runas\"" : "\"\"";
    const std::string prefix = std::string("[") + expected->name + "] verb " + verb;
    testLaunch(prefix + ", given directory", child, work, here.c_str(), here);
    testLaunch(prefix + ", null directory", child, work, nullptr, work);
    testMissingFile(prefix + ", missing file", work);

    return check::summary("tst_shell_win");
}
