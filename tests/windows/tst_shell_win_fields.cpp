// What shellExecuteFile puts into the SHELLEXECUTEINFOW it hands to the shell. Wine accepts
// any cbSize, so a launch that works under Wine says nothing about the size; this program
// therefore catches the call at the import slot (the linker takes this definition of
// __imp_ShellExecuteExW instead of SHELL32's) and looks at every field.
//
//   tst_shell_win_fields.exe <winxp|vista|win7|win10>
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <shellapi.h>

#include "check.h"
#include "shell_win.h"

#include <cstring>
#include <cwchar>
#include <string>


#ifdef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "the 64-bit layout of SHELLEXECUTEINFOW");
#endif

namespace {

int calls = 0;
SHELLEXECUTEINFOW seen;
std::wstring seenVerb;
bool seenNullVerb = false;
BOOL answer = FALSE;

BOOL WINAPI recordShellExecuteExW(SHELLEXECUTEINFOW *info)
{
    ++calls;
    seen = *info;
    seenNullVerb = info->lpVerb == nullptr;
    seenVerb = info->lpVerb ? info->lpVerb : L"";
    return answer;
}

struct Row
{
    const char *name;
    HWND window;
    const wchar_t *file;
    const wchar_t *parameters;
    const wchar_t *directory;
    BOOL answer;
};

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

extern "C" {
BOOL(WINAPI *__imp_ShellExecuteExW)(SHELLEXECUTEINFOW *) = recordShellExecuteExW;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("usage: tst_shell_win_fields.exe winxp|vista|win7|win10\n");
        return 2;
    }
    const bool vista = std::strcmp(argv[1], "vista") == 0;
    const std::wstring expectedVerb = vista ? L"runas" : L"";
    check::that(isWindowsVista() == vista,
                std::string("[") + argv[1] + "] isWindowsVista() before the field checks");

    static const wchar_t file[] = L"C:\\Program Files\\Quillmoor\\Quillmoor.exe";
    static const wchar_t parameters[] = L"--open \"a b.txt\"";
    static const wchar_t directory[] = L"C:\\Program Files\\Quillmoor";
    const Row rows[] = {
        {"the updater's launch (no window, parameters or directory)", nullptr, file, nullptr,
         nullptr, TRUE},
        {"owner window, parameters and directory", reinterpret_cast<HWND>(0x1234), file,
         parameters, directory, TRUE},
        {"a refused request", nullptr, file, nullptr, nullptr, FALSE},
    };

    for (const Row &row : rows) {
        const std::string name = std::string("[") + argv[1] + "] " + row.name;
        calls = 0;
        std::memset(&seen, 0xA5, sizeof seen);
        answer = row.answer;
        const int result = shellExecuteFile(row.window, row.file, row.parameters, row.directory);

        if (!check::that(calls == 1, name + ": one call to ShellExecuteExW",
                         std::to_string(calls) + " calls"))
            continue;
        check::that(result == row.answer, name + ": the shell's answer is returned",
                    "returned " + std::to_string(result));
        check::that(seen.cbSize == sizeof(SHELLEXECUTEINFOW),
                    name + ": cbSize is the structure's size",
                    std::to_string(seen.cbSize) + " instead of "
                            + std::to_string(sizeof(SHELLEXECUTEINFOW)));
        check::that(!seenNullVerb && seenVerb == expectedVerb,
                    name + ": the verb is \"" + narrow(expectedVerb) + "\"",
                    seenNullVerb ? "a null verb" : "\"" + narrow(seenVerb) + "\"");
        check::that(seen.nShow == SW_SHOWNORMAL, name + ": nShow is SW_SHOWNORMAL",
                    std::to_string(seen.nShow));
        check::that(seen.fMask == 0, name + ": fMask is 0", std::to_string(seen.fMask));
        check::that(seen.hwnd == row.window && seen.lpFile == row.file
                            && seen.lpParameters == row.parameters
                            && seen.lpDirectory == row.directory,
                    name + ": window, file, parameters and directory are passed as given");
        check::that(seen.hInstApp == nullptr && seen.lpIDList == nullptr
                            && seen.lpClass == nullptr && seen.hkeyClass == nullptr
                            && seen.dwHotKey == 0 && seen.hIcon == nullptr
                            && seen.hProcess == nullptr,
                    name + ": every other field is zero");
    }
    return check::summary("tst_shell_win_fields");
}
