// Stand-in for the main application in the tests: appends one line to "started.txt" beside
// itself, its working directory followed by a tab and "[argument]" for each argument.
//
// When a file "hold" lies beside it, it first waits (up to 10 s) for a file "go" there and
// writes "waited" if none came: a launcher that waited for it to finish would see that.
// Started with "--stay-while <file>" it records nothing and only runs while that file
// exists (a minute at most): the old release's main application, still running when the
// update starts, until the test lets it end.
// No Qt, so that it starts fast and is a plain executable on every platform.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path ownDirectory()
{
#ifdef _WIN32
    wchar_t buffer[32768];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return fs::path(std::wstring(buffer, n)).parent_path();
#else
    return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--stay-while") {
        for (int waited = 0; fs::exists(fs::u8path(argv[2])) && waited < 3000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return 0;
    }
    const fs::path dir = ownDirectory();
    std::string line = fs::current_path().u8string();
    if (fs::exists(dir / "hold")) {
        int waited = 0;
        while (!fs::exists(dir / "go") && waited++ < 200)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!fs::exists(dir / "go"))
            line = "waited";
    }
    for (int i = 1; i < argc; ++i)
        line += std::string("\t[") + argv[i] + "]";
    line += '\n';
    // One write of the whole line, so that a reader never sees half of it.
#ifdef _WIN32
    FILE *file = _wfopen((dir / "started.txt").c_str(), L"ab");
#else
    FILE *file = std::fopen((dir / "started.txt").c_str(), "ab");
#endif
    if (file) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
    return 0;
}
