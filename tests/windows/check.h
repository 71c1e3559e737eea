// A few lines of test harness for the Windows programs, which build without Qt: each check
// prints one PASS or FAIL line, and the program's exit code says whether any failed.
#ifndef QUILLMOOR_WINDOWS_CHECK_H
#define QUILLMOOR_WINDOWS_CHECK_H

#include <cstdio>
#include <string>

namespace check {

inline int passed = 0;
inline int failed = 0;

inline bool that(bool ok, const std::string &name, const std::string &detail = std::string())
{
    if (ok) {
        ++passed;
        std::printf("PASS   %s\n", name.c_str());
    } else {
        ++failed;
        std::printf("FAIL!  %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ",
                    detail.c_str());
    }
    std::fflush(stdout);
    return ok;
}

inline void note(const std::string &text)
{
    std::printf("NOTE   %s\n", text.c_str());
    std::fflush(stdout);
}

// Prints the totals; the value is the program's exit code.
inline int summary(const char *program)
{
    std::printf("Totals (%s): %d passed, %d failed\n", program, passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace check

#endif // QUILLMOOR_WINDOWS_CHECK_H
