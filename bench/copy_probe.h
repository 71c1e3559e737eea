// The system calls of a linked update, replayed one kind at a time on a real staged tree, so
// that each costs what it costs without the updater's own work around it, and so that other
// ways of making the same calls (on open directories, on two threads) can be set beside it.
// Linux only, like the benchmark.
#ifndef QUILLMOOR_BENCH_COPY_PROBE_H
#define QUILLMOOR_BENCH_COPY_PROBE_H

#include <string>
#include <vector>

namespace probe {

// How the calls are made.
struct Style
{
    bool atCalls;       // linkat, renameat2, unlinkat, fstatat on open directories, not paths
    int threads;        // directories shared out among this many threads
    bool directorySync; // the names made durable by an fsync of each changed directory, not syncfs
};

struct Phase
{
    const char *name;
    double ms;
    long calls;
};

// Replays a linked update of `staging` over `install`, which must hold every staged file
// already (each is replaced): walk, check, link, sync, exchange, sync, unlink of the old files
// and of the staged names, removal of the staging directories. Leaves `install` holding the
// staged files and no `staging`. Empty when a call failed (said on standard error).
std::vector<Phase> replayLinkedUpdate(const std::string &staging, const std::string &install,
                                      const Style &style);

// What writing `count` files of `size` bytes in a new directory under `dir` costs a file, in
// microseconds: made anew (open O_CREAT|O_EXCL, write, close: what a copied part costs), then
// rewritten in place (open O_TRUNC, write, close: what cp -a does to a file that exists),
// then removed (unlink of the last name, freeing the data). The page cache is written back
// (syncfs) before each step, so each is timed on clean files.
struct FileCosts
{
    double create;
    double rewrite;
    double remove;
};
FileCosts fileCosts(const std::string &dir, int count, int size);

// Heap bytes held per file by a compact plan of a tree (each directory's path once, each file
// a fixed-size record and its name), built from a listing of `staging`.
double compactPlanBytesPerFile(const std::string &staging, long *files);

} // namespace probe

#endif
