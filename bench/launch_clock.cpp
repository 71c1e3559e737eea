// The benchmark's stand-in for the main application: records the moment it starts, so that
// bench_copy can time an update from the updater's first output to the launch. Writes the
// monotonic clock (CLOCK_MONOTONIC, one clock for every process of the machine) in
// nanoseconds to the file QUILL_BENCH_LAUNCH_CLOCK names, through a temporary name and a
// rename, so that a reader never sees half of it; does nothing without it. No Qt: it must
// start as fast as a program can.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <time.h>

int main()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char *path = std::getenv("QUILL_BENCH_LAUNCH_CLOCK");
    if (!path || !*path)
        return 0;
    const std::string temporary = std::string(path) + ".new";
    FILE *file = std::fopen(temporary.c_str(), "w");
    if (!file)
        return 1;
    const long long ns = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
    const bool written = std::fprintf(file, "%lld\n", ns) > 0;
    if (std::fclose(file) != 0 || !written)
        return 1;
    return std::rename(temporary.c_str(), path) == 0 ? 0 : 1;
}
