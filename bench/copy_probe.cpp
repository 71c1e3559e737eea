// See copy_probe.h. Plain POSIX and Linux calls, no Qt, so that nothing but the calls costs.
#include "copy_probe.h"

#include <atomic>
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

// Runs work(dir index) for every directory on `threads` threads, a directory at a time.
bool forEachDir(const std::vector<Dir> &dirs, int threads,
                const std::function<bool(size_t)> &work)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> ok{true};
    const auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < dirs.size() && ok.load();) {
            if (!work(i))
                ok = false;
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back(worker);
    worker();
    for (std::thread &helper : helpers)
        helper.join();
    return ok;
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
