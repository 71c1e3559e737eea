// The system calls of a linked update, replayed one kind at a time on a real staged tree, so
// that each costs what it costs without the updater's own work around it, and so that other
// ways of making the same calls (on open directories, on two threads) can be set beside it;
// and the floor of an update, those calls all made their fastest way. Linux only, like the
// benchmark.
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

// The floor of an update: the system calls it cannot avoid, each made its fastest way on
// open directory descriptors, with no bookkeeping, timed end to end. Works on `staging` (a
// staged tree, or with `copies` a link to one on another file system) over `install`,
// which must hold every staged file already; leaves `install` holding the staged files and
// no `staging` (with `copies` only the link goes). The calls, in order:
//
//   walk     getdents64 of each staged directory, openat of it and of its installed
//            counterpart
//   make     per staged file, linked: linkat of a part beside its target, then openat,
//            fdatasync, close of the part; with copies: openat of the source, fstat,
//            openat(O_CREAT|O_EXCL|O_WRONLY) of the part, the data copied (copy_file_range
//            where the two file systems allow it, tried once; sendfile otherwise), fchmod,
//            futimens (fchown only when the owner differs), sync_file_range(WRITE), close of
//            the source; then fdatasync and close of every part
//   sync     fsync of each installed directory with parts, and of the installation's root
//            (the commit marker and the list of directories)
//   commit   per file, renameat2(RENAME_EXCHANGE) of part and target
//   sync     fsync of each installed directory with parts
//   unlink   when linked, per file unlinkat of the staged name
//   remove   unlinkat(AT_REMOVEDIR) of each staging directory, deepest first; with copies
//            unlinkat of the staging link (the main application could be started here)
//   free     per file, unlinkat of the old file (now at the part's name)
//
// The per-file calls run on `threads` threads, each taking runs of neighbouring files of one
// directory (32; 4 for copies, so that a directory of large files is shared out); the
// per-directory calls, a directory at a time.
struct Floor
{
    double ms = -1;            // end to end; negative when a call failed (said on standard error)
    double launchMs = -1;      // from the start to the staging tree's removal
    std::vector<Phase> phases; // the steps above, each timed
    long files = 0;
    long dirs = 0;             // staged directories, the root included
    const char *copyCall = ""; // with copies: "copy_file_range" or "sendfile"
};
Floor floorUpdate(const std::string &staging, const std::string &install, bool copies,
                  int threads);

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
