// See copy_probe.h. Plain POSIX and Linux calls, no Qt, so that nothing but the calls costs.
#include "copy_probe.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace probe {

namespace {

struct Dir
{
    std::string rel; // "" for the root, else "a/b"
    std::vector<std::string> files;
};

std::string join(const std::string &root, const std::string &rel)
{
    return rel.empty() ? root : root + '/' + rel;
}

std::string partName(size_t i)
{
    return ".qu-p" + std::to_string(i);
}

bool failed(const char *call, const std::string &path)
{
    std::fprintf(stderr, "probe: %s %s: %s\n", call, path.c_str(), std::strerror(errno));
    return false;
}

// Lists `fd` (consumed), adding its subdirectories to `dirs` and its files to `dir`.
bool readDir(int fd, const std::string &rel, std::vector<Dir> &dirs, size_t self)
{
    DIR *stream = ::fdopendir(fd);
    if (!stream)
        return false;
    while (const dirent *d = ::readdir(stream)) {
        const char *name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        if (d->d_type == DT_DIR)
            dirs.push_back({rel.empty() ? name : rel + '/' + name, {}});
        else
            dirs[self].files.emplace_back(name);
    }
    ::closedir(stream);
    return true;
}

// Lists the installation's directory as well, as the updater does to find what is there.
long countEntries(int fd)
{
    DIR *stream = ::fdopendir(fd);
    if (!stream)
        return -1;
    long n = 0;
    while (::readdir(stream))
        ++n;
    ::closedir(stream);
    return n;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
}

// Runs work(i) for i in 0 .. count - 1 on `threads` threads, each taking the next index.
bool forEachIndex(size_t count, int threads, const std::function<bool(size_t)> &work)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> ok{true};
    const auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count && ok.load();) {
            if (!work(i))
                ok = false;
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads && size_t(t) < count; ++t)
        helpers.emplace_back(worker);
    worker();
    for (std::thread &helper : helpers)
        helper.join();
    return ok;
}

// Runs work(dir index) for every directory on `threads` threads, a directory at a time.
bool forEachDir(const std::vector<Dir> &dirs, int threads,
                const std::function<bool(size_t)> &work)
{
    return forEachIndex(dirs.size(), threads, work);
}

int openDir(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

std::vector<Phase> replayLinkedUpdate(const std::string &staging, const std::string &install,
                                      const Style &style)
{
    std::vector<Phase> phases;
    std::vector<Dir> dirs{{"", {}}};
    long listed = 0;

    // The walk: every staged directory and its installed counterpart, listed.
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < dirs.size(); ++i) {
        const std::string rel = dirs[i].rel;
        const int fd = openDir(join(staging, rel));
        const int installed = openDir(join(install, rel));
        if (fd < 0 || installed < 0 || !readDir(fd, rel, dirs, i))
            return failed("list", join(staging, rel)), std::vector<Phase>{};
        listed += countEntries(installed);
    }
    long files = 0;
    for (const Dir &dir : dirs)
        files += long(dir.files.size());
    phases.push_back({"walk (list staged and installed directories)", msSince(start),
                      long(dirs.size()) * 2});

    // One phase over every file, a directory at a time; `call` gets the directory's open
    // staging and installation descriptors (for *at calls) and its paths.
    const auto perFile = [&](const char *name, bool stagingSide, bool installSide,
                             const std::function<bool(int, int, const std::string &,
                                                      const std::string &, const std::string &,
                                                      size_t)> &call) {
        const auto begin = std::chrono::steady_clock::now();
        const bool ok = forEachDir(dirs, style.threads, [&](size_t d) {
            const Dir &dir = dirs[d];
            const std::string from = join(staging, dir.rel);
            const std::string to = join(install, dir.rel);
            const int sfd = style.atCalls && stagingSide ? openDir(from) : AT_FDCWD;
            const int ifd = style.atCalls && installSide ? openDir(to) : AT_FDCWD;
            bool done = true;
            for (size_t i = 0; i < dir.files.size() && done; ++i)
                done = call(sfd, ifd, from, to, dir.files[i], i);
            if (sfd != AT_FDCWD)
                ::close(sfd);
            if (ifd != AT_FDCWD)
                ::close(ifd);
            return done;
        });
        phases.push_back({name, msSince(begin), files});
        return ok;
    };
    // A name for a call: relative to the descriptor, or the whole path.
    const auto at = [&](int fd, const std::string &dir, const std::string &name) {
        return fd == AT_FDCWD ? dir + '/' + name : name;
    };

    const bool at2 = style.atCalls;
    bool ok = perFile("check (lstat + access of each staged file)", true, false,
                      [&](int sfd, int, const std::string &from, const std::string &,
                          const std::string &name, size_t) {
        struct stat st;
        const std::string p = at(sfd, from, name);
        if (at2 ? ::fstatat(sfd, p.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0
                          || ::faccessat(sfd, p.c_str(), R_OK, 0) != 0
                : ::lstat(p.c_str(), &st) != 0 || ::access(p.c_str(), R_OK) != 0)
            return failed("check", p);
        return true;
    });
    ok = ok && perFile("link (a part beside each target)", true, true,
                       [&](int sfd, int ifd, const std::string &from, const std::string &to,
                           const std::string &name, size_t i) {
        const std::string a = at(sfd, from, name);
        const std::string b = at(ifd, to, partName(i));
        if (::linkat(sfd, a.c_str(), ifd, b.c_str(), 0) != 0)
            return failed("link", a);
        return true;
    });

    const int root = openDir(install);
    start = std::chrono::steady_clock::now();
    ok = ok && ::syncfs(root) == 0;
    phases.push_back({"syncfs before the commit", msSince(start), 1});

    ok = ok && perFile("exchange (renameat2 RENAME_EXCHANGE of part and target)", false, true,
                       [&](int, int ifd, const std::string &, const std::string &to,
                           const std::string &name, size_t i) {
        const std::string a = at(ifd, to, partName(i));
        const std::string b = at(ifd, to, name);
        if (::renameat2(ifd, a.c_str(), ifd, b.c_str(), RENAME_EXCHANGE) != 0)
            return failed("renameat2", b);
        return true;
    });

    start = std::chrono::steady_clock::now();
    if (style.directorySync) {
        for (const Dir &dir : dirs) {
            const int fd = openDir(join(install, dir.rel));
            ok = ok && fd >= 0 && ::fsync(fd) == 0;
            if (fd >= 0)
                ::close(fd);
        }
        phases.push_back({"fsync of each changed directory after the commit", msSince(start),
                          long(dirs.size())});
    } else {
        ok = ok && ::syncfs(root) == 0;
        phases.push_back({"syncfs after the commit", msSince(start), 1});
    }
    ::close(root);

    ok = ok && perFile("unlink of the old files", false, true,
                       [&](int, int ifd, const std::string &, const std::string &to,
                           const std::string &, size_t i) {
        const std::string p = at(ifd, to, partName(i));
        if (::unlinkat(ifd, p.c_str(), 0) != 0)
            return failed("unlink", p);
        return true;
    });
    ok = ok && perFile("unlink of the staged names", true, false,
                       [&](int sfd, int, const std::string &from, const std::string &,
                           const std::string &name, size_t) {
        const std::string p = at(sfd, from, name);
        if (::unlinkat(sfd, p.c_str(), 0) != 0)
            return failed("unlink", p);
        return true;
    });

    start = std::chrono::steady_clock::now();
    for (auto dir = dirs.rbegin(); ok && dir != dirs.rend(); ++dir) {
        if (::rmdir(join(staging, dir->rel).c_str()) != 0)
            ok = failed("rmdir", join(staging, dir->rel));
    }
    phases.push_back({"rmdir of the staging directories", msSince(start), long(dirs.size())});
    if (!ok)
        return {};
    (void)listed;
    return phases;
}

namespace {

// A staged directory of the floor, with its installed counterpart, both open.
struct FloorDir
{
    FloorDir(const char *name, size_t parent, int depth) : name(name), parent(parent), depth(depth) {}
    FloorDir(const std::string &name, size_t parent, int depth) : name(name), parent(parent), depth(depth) {}

    std::string name;  // in its parent
    size_t parent;     // index of the parent (the root: itself)
    int depth;
    int sfd = -1;      // the staged directory
    int ifd = -1;      // the installed one
    std::vector<std::string> files;
};

// Lists `fd` with getdents64 into `dir` (files) and `dirs` (subdirectories, not yet open).
bool listDir(std::vector<FloorDir> &dirs, size_t self)
{
    alignas(8) char buffer[32768];
    const int fd = dirs[self].sfd;
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        for (ssize_t at = 0; at < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(buffer + at);
            at += d->d_reclen;
            const char *name = d->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            unsigned char type = d->d_type;
            struct stat st;
            if (type == DT_UNKNOWN && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            if (type == DT_DIR)
                dirs.emplace_back(name, self, dirs[self].depth + 1);
            else
                dirs[self].files.emplace_back(name);
        }
    }
}

// How a copy moves its data between this pair of file systems: unknown until the first
// copy tries copy_file_range.
enum CopyCall { Untried, CopyFileRange, SendFile };

bool copyData(int in, int out, off_t size, std::atomic<int> &how)
{
    for (off_t done = 0; done < size;) {
        const size_t want = size_t(std::min<off_t>(size - done, off_t(1) << 30));
        ssize_t n;
        if (how.load(std::memory_order_relaxed) != SendFile) {
            n = ::copy_file_range(in, nullptr, out, nullptr, want, 0);
            if (n < 0 && done == 0
                && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                how = SendFile;
                continue;
            }
            if (n > 0)
                how = CopyFileRange;
        } else {
            n = ::sendfile(out, in, nullptr, want);
        }
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

Floor floorUpdate(const std::string &staging, const std::string &install, bool copies,
                  int threads)
{
    Floor floor;
    const auto slash = staging.find_last_of('/');
    const std::string stagingParent = slash == std::string::npos ? "." : staging.substr(0, slash);
    const std::string stagingName = slash == std::string::npos ? staging : staging.substr(slash + 1);
    std::vector<FloorDir> dirs;
    bool ok = true;
    const auto begin = std::chrono::steady_clock::now();
    auto start = begin;
    const auto phase = [&](const char *name, long calls) {
        floor.phases.push_back({name, msSince(start), calls});
        start = std::chrono::steady_clock::now();
    };

    // walk
    const int parent = openDir(stagingParent);
    dirs.emplace_back(stagingName, 0, 0);
    dirs[0].sfd = openDir(staging); // a staging link leads to the tree it names
    dirs[0].ifd = openDir(install);
    if (parent < 0 || dirs[0].sfd < 0 || dirs[0].ifd < 0)
        ok = failed("open", staging);
    for (size_t i = 0; ok && i < dirs.size(); ++i) {
        if (i > 0) {
            const FloorDir &up = dirs[dirs[i].parent];
            dirs[i].sfd = ::openat(up.sfd, dirs[i].name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            dirs[i].ifd = ::openat(up.ifd, dirs[i].name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (dirs[i].sfd < 0 || dirs[i].ifd < 0) {
                ok = failed("openat", dirs[i].name);
                break;
            }
        }
        if (!listDir(dirs, i))
            ok = failed("getdents64", dirs[i].name);
    }
    for (const FloorDir &dir : dirs)
        floor.files += long(dir.files.size());
    floor.dirs = long(dirs.size());
    phase("walk", long(dirs.size()) * 3);

    // The per-file work in runs of neighbouring files of one directory: long enough that two
    // threads seldom make names in one directory at once, short enough to spread a directory
    // that waits for the disk over several. A copy's run is shorter still, so that a
    // directory of large files is copied on every thread.
    struct Run
    {
        size_t dir, first, end;
    };
    const auto runsOf = [&](size_t length) {
        std::vector<Run> runs;
        for (size_t d = 0; d < dirs.size(); ++d) {
            for (size_t first = 0; first < dirs[d].files.size(); first += length)
                runs.push_back({d, first, std::min(first + length, dirs[d].files.size())});
        }
        return runs;
    };
    const std::vector<Run> runs = runsOf(32);
    const auto forEachRun = [&](const std::vector<Run> &list, const auto &work) {
        return forEachIndex(list.size(), threads, [&](size_t r) {
            FloorDir &dir = dirs[list[r].dir];
            for (size_t i = list[r].first; i < list[r].end; ++i) {
                if (!work(dir, i))
                    return false;
            }
            return true;
        });
    };

    // make: each part, its data made durable before the commit. With copies, every part
    // stays open until all are written (write-back started on each as it was written), then
    // each gets its fdatasync; where that needs more descriptors than this process may
    // hold, each is synced as soon as it is written.
    struct rlimit limit{};
    const bool syncLater = ::getrlimit(RLIMIT_NOFILE, &limit) == 0
            && rlim_t(floor.files + 2 * floor.dirs + 64) <= limit.rlim_cur;
    std::vector<int> parts(copies && syncLater ? size_t(floor.files) : 0, -1);
    std::vector<size_t> firstPart(dirs.size(), 0);
    for (size_t d = 1; d < dirs.size(); ++d)
        firstPart[d] = firstPart[d - 1] + dirs[d - 1].files.size();
    std::atomic<int> how{Untried};
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const auto link = [&](FloorDir &dir, size_t i) {
        const std::string part = partName(i);
        if (::linkat(dir.sfd, dir.files[i].c_str(), dir.ifd, part.c_str(), 0) != 0)
            return failed("linkat", dir.files[i]);
        const int fd = ::openat(dir.ifd, part.c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        return synced || failed("fdatasync", part);
    };
    const auto copy = [&](FloorDir &dir, size_t i) {
        const char *name = dir.files[i].c_str();
        const std::string part = partName(i);
        const int in = ::openat(dir.sfd, name, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (in < 0 || ::fstat(in, &st) != 0) {
            if (in >= 0)
                ::close(in);
            return failed("open", name);
        }
        const int out = ::openat(dir.ifd, part.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (out < 0) {
            ::close(in);
            return failed("openat", part);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        bool made = copyData(in, out, st.st_size, how)
                && ::fchmod(out, st.st_mode & 07777) == 0 && ::futimens(out, times) == 0
                && ((st.st_uid == uid && st.st_gid == gid) || ::fchown(out, st.st_uid, st.st_gid) == 0)
                && ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE) == 0;
        ::close(in);
        if (parts.empty()) {
            made = made && ::fdatasync(out) == 0;
            ::close(out);
        } else {
            parts[firstPart[size_t(&dir - dirs.data())] + i] = out;
        }
        return made || failed("copy", part);
    };
    if (copies) {
        ok = ok && forEachRun(runsOf(4), copy);
        ok = ok && forEachIndex(parts.size(), threads, [&](size_t p) {
            const bool synced = ::fdatasync(parts[p]) == 0;
            ::close(parts[p]);
            parts[p] = -1;
            return synced || failed("fdatasync", "a part");
        });
    } else {
        ok = ok && forEachRun(runs, link);
    }
    floor.copyCall = how == SendFile ? "sendfile" : how == CopyFileRange ? "copy_file_range" : "";
    phase("make", floor.files);

    long changed = 0;
    for (const FloorDir &dir : dirs)
        changed += dir.files.empty() ? 0 : 1;
    const auto syncDirs = [&] {
        return forEachIndex(dirs.size(), threads, [&](size_t d) {
            return dirs[d].files.empty() || ::fsync(dirs[d].ifd) == 0 || failed("fsync", dirs[d].name);
        });
    };
    ok = ok && syncDirs() && (::fsync(dirs[0].ifd) == 0 || failed("fsync", install));
    phase("sync before the commit", changed + 1);

    ok = ok && forEachRun(runs, [&](FloorDir &dir, size_t i) {
        return ::renameat2(dir.ifd, partName(i).c_str(), dir.ifd, dir.files[i].c_str(), RENAME_EXCHANGE) == 0
                || failed("renameat2", dir.files[i]);
    });
    phase("commit", floor.files);

    ok = ok && syncDirs();
    phase("sync after the commit", changed);

    // The staging tree goes first, so that the main application can start; the old files,
    // most of the time where the disk discards freed blocks, after it.
    if (!copies) {
        ok = ok && forEachRun(runs, [&](FloorDir &dir, size_t i) {
            return ::unlinkat(dir.sfd, dir.files[i].c_str(), 0) == 0 || failed("unlinkat", dir.files[i]);
        });
        phase("unlink of the staged names", floor.files);
    }
    if (copies) {
        ok = ok && (::unlinkat(parent, stagingName.c_str(), 0) == 0 || failed("unlinkat", staging));
        phase("remove", 1);
    } else {
        int deepest = 0;
        for (const FloorDir &dir : dirs)
            deepest = std::max(deepest, dir.depth);
        for (int depth = deepest; ok && depth >= 0; --depth) {
            ok = forEachIndex(dirs.size(), threads, [&](size_t d) {
                const FloorDir &dir = dirs[d];
                if (dir.depth != depth)
                    return true;
                const int at = d == 0 ? parent : dirs[dir.parent].sfd;
                return ::unlinkat(at, dir.name.c_str(), AT_REMOVEDIR) == 0
                        || failed("unlinkat(AT_REMOVEDIR)", dir.name);
            });
        }
        phase("remove", floor.dirs);
    }
    floor.launchMs = msSince(begin);

    ok = ok && forEachRun(runs, [&](FloorDir &dir, size_t i) {
        return ::unlinkat(dir.ifd, partName(i).c_str(), 0) == 0 || failed("unlinkat", partName(i));
    });
    phase("free", floor.files);

    for (const int part : parts) {
        if (part >= 0)
            ::close(part);
    }
    for (const FloorDir &dir : dirs) {
        if (dir.sfd >= 0)
            ::close(dir.sfd);
        if (dir.ifd >= 0)
            ::close(dir.ifd);
    }
    if (parent >= 0)
        ::close(parent);
    if (ok)
        floor.ms = msSince(begin);
    return floor;
}

FileCosts fileCosts(const std::string &dir, int count, int size)
{
    const std::string root = dir + "/probe-files";
    FileCosts costs{-1, -1, -1};
    if (::mkdir(root.c_str(), 0700) != 0)
        return failed("mkdir", root), costs;
    const std::vector<char> data(size_t(size), 'q');
    const auto name = [&](int i) { return root + "/f" + std::to_string(i); };
    const auto sync = [&] {
        const int fd = openDir(root);
        ::syncfs(fd);
        ::close(fd);
    };
    const auto writeAll = [&](int flags) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            const int fd = ::open(name(i).c_str(), O_WRONLY | O_CLOEXEC | flags, 0600);
            if (fd < 0 || ::write(fd, data.data(), data.size()) != ssize_t(data.size()))
                return failed("write", name(i)), -1.0;
            ::close(fd);
        }
        return 1000 * msSince(start) / count;
    };
    sync();
    costs.create = writeAll(O_CREAT | O_EXCL);
    sync();
    costs.rewrite = writeAll(O_TRUNC);
    sync();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        ::unlink(name(i).c_str());
    costs.remove = 1000 * msSince(start) / count;
    ::rmdir(root.c_str());
    return costs;
}

double compactPlanBytesPerFile(const std::string &staging, long *files)
{
    // What a step needs: its directory, its name, its kind and state, its part's number.
    struct Record
    {
        uint32_t dir;
        uint32_t nameOffset;
        uint16_t nameLength;
        uint8_t kind;
        uint8_t state;
        uint32_t part;
    };
    static_assert(sizeof(Record) == 16, "a record is 16 bytes");
    struct Plan
    {
        std::vector<std::string> dirs;
        std::string names;
        std::vector<Record> records;
    };

    const auto heap = [] {
        const struct mallinfo2 m = ::mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    const size_t before = heap();
    Plan *plan = new Plan;
    std::vector<Dir> dirs{{"", {}}};
    for (size_t i = 0; i < dirs.size(); ++i) {
        const std::string rel = dirs[i].rel; // readDir may move dirs[i]
        const int fd = openDir(join(staging, rel));
        if (fd < 0 || !readDir(fd, rel, dirs, i))
            return -1;
        // The plan keeps what the listing gave; the listing itself goes directory by
        // directory, as a walk that does not hold every name at once would.
        plan->dirs.push_back(rel);
        for (const std::string &name : dirs[i].files) {
            plan->records.push_back({uint32_t(i), uint32_t(plan->names.size()),
                                     uint16_t(name.size()), 0, 0, uint32_t(plan->records.size())});
            plan->names += name;
        }
        dirs[i].files.clear();
        dirs[i].files.shrink_to_fit();
    }
    plan->records.shrink_to_fit();
    plan->names.shrink_to_fit();
    // The walk's queue of directory paths is not part of the plan.
    std::vector<Dir>().swap(dirs);
    const size_t after = heap();
    *files = long(plan->records.size());
    delete plan;
    return *files > 0 ? double(after - before) / double(*files) : 0.0;
}

} // namespace probe
