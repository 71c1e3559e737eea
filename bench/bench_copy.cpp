// The updater's install of a large staged release, side by side with `cp -a` + `rm -rf` of
// the same tree, with the floor of the system calls an update cannot avoid, and with the
// per-file copy the updater used before it linked files:
//
// - the floor (copy_probe.h): those calls each made its fastest way, no bookkeeping, timed
//   end to end on the same staged tree; the updater's time divided by the floor's is what it
//   spends beyond the calls themselves;
// - copy: Updater::copyAllFiles called in this process through the meta-object (the slot
//   the update cycle runs), against `cp -a staging/. install/` and against the per-file
//   copy (each file copied to a part file and renamed over its target), also in process;
// - copy and removal: the real updater binary end to end, timed from its first output
//   (written as the attempt starts) to its exit, so the 3 s start-up wait is left out but
//   the removal of the staging tree, the launch of the main application and whatever follows
//   it are in; against `cp -a staging/. install/` + `rm -rf staging`, and the per-file copy +
//   its removal;
// - time to launch: from the updater's first output to the start of the stand-in main
//   application (launch_clock.cpp), which records it;
// - the same with another program's 1 GB of unwritten data on the file system, written just
//   before the updater starts;
// - the same with copies forced: the staging directory a link to a directory on another
//   file system (QUILL_BENCH_OTHER_FS, default /dev/shm), where files cannot be linked, also
//   against `cp -a` + `sync` + `rm -rf`: the updater's copies are on disk before it commits
//   them, cp's only once the kernel writes them back. Each counted round's forced copies run
//   in installations of their own, laid out before the first round; the updater's repeated
//   at once in the installation it just updated is a row of its own;
// - the updater process's maximum resident set size (/usr/bin/time) and the peak extra
//   disk use of the installation's file system while it runs (free space sampled every ms,
//   in the warm-up round only); what unlinking a 4 KB file costs this disk.
//
// Every timed operation starts from the same state: the installation holds a full tree, the
// staging tree a fresh copy of the release, and the page cache is flushed to disk (sync).
// Ours and the alternatives take turns to go first, round by round. After each update the
// installation must hold the release and nothing of the updater's own.
// Prints a markdown table, the headline rows first, and notes on the floor's calls;
// QUILL_BENCH_ROUNDS sets the rounds (median kept, default 3, after an uncounted warm-up
// round), QUILL_BENCH_SMALL=1 shrinks the tree for a quick try and QUILL_BENCH_FLOOR_THREADS
// the floor's threads (16). QUILL_BENCH_JOURNALED=1 says that $TMPDIR is a journaled ext4
// image (bench/copy.sh makes one): its rows say so and carry that file system's targets.
#include "copy_probe.h"
#include "updater.h"
// The transaction, for the in-process phase rows: its only include here.
#include "install_p.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Tree
{
    int smallFiles;
    int smallSize;
    int directories;
    int largeFiles;
    qint64 largeSize;
};

bool writeRandomFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const int n = int(qMin<qint64>(left, chunk.size()));
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                              chunk.size() / 4);
        if (file.write(chunk.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

bool makeTree(const QString &root, const Tree &tree)
{
    for (int d = 0; d < tree.directories; ++d) {
        if (!QDir().mkpath(QStringLiteral("%1/dir%2").arg(root).arg(d)))
            return false;
    }
    for (int i = 0; i < tree.smallFiles; ++i) {
        const QString path = QStringLiteral("%1/dir%2/file%3.dat")
                                     .arg(root).arg(i % tree.directories).arg(i);
        if (!writeRandomFile(path, tree.smallSize))
            return false;
    }
    QDir().mkpath(root + QStringLiteral("/large"));
    for (int i = 0; i < tree.largeFiles; ++i) {
        if (!writeRandomFile(QStringLiteral("%1/large/big%2.bin").arg(root).arg(i),
                             tree.largeSize))
            return false;
    }
    return true;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
}

void syncDisks()
{
    run(QStringLiteral("sync"), {});
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_copy: %s\n", what);
    std::exit(1);
}

// The copy and removal the updater used before it linked files, kept here as the
// alternative: every staged file copied (sendfile) to a part file in its target directory
// and renamed over the target, one file at a time; then the staging tree removed.
namespace perFile {

QFileInfoList listEntries(const QDir &dir)
{
    return dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
}

fs::path toFsPath(const QString &path)
{
    return fs::path(path.toStdU16String());
}

bool copy(const QDir &sourceDir, const QDir &targetDir)
{
    if (!sourceDir.exists() || !targetDir.exists())
        return false;
    const QString targetDirPath = targetDir.absolutePath();
    const fs::path part = toFsPath(targetDirPath + QStringLiteral("/.quillmoor-update.part"));
    for (const QFileInfo &entry : listEntries(sourceDir)) {
        const QString targetPath = targetDirPath + QLatin1Char('/') + entry.fileName();
        std::error_code error;
        if (entry.isDir()) {
            QDir targetSubDir(targetPath);
            if (!targetSubDir.exists())
                targetSubDir.mkpath(targetPath);
            if (!copy(QDir(entry.absoluteFilePath()), targetSubDir))
                return false;
        } else if (!fs::copy_file(toFsPath(entry.absoluteFilePath()), part,
                                  fs::copy_options::none, error)
                   || (fs::rename(part, toFsPath(targetPath), error), error)) {
            return false;
        }
    }
    return true;
}

bool remove(const QDir &dir)
{
    bool removed = true;
    for (const QFileInfo &entry : listEntries(dir)) {
        removed = entry.isDir() ? remove(QDir(entry.absoluteFilePath()))
                                : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            break;
    }
    return dir.rmdir(dir.absolutePath()) && removed;
}

} // namespace perFile

// Samples the free space of a file system every millisecond while it runs.
class DiskSampler
{
public:
    explicit DiskSampler(const QString &path)
        : m_path(QFile::encodeName(path)), m_before(freeBytes())
    {
        m_lowest = m_before;
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                m_lowest = std::min(m_lowest, freeBytes());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    // The most the file system held beyond what it held at the start, in MB.
    double stop()
    {
        m_stop = true;
        m_thread.join();
        return double(m_before - std::min(m_lowest, m_before)) / (1 << 20);
    }

private:
    qint64 freeBytes() const
    {
        struct statvfs st;
        return statvfs(m_path.constData(), &st) == 0 ? qint64(st.f_bavail) * qint64(st.f_frsize) : 0;
    }

    QByteArray m_path;
    qint64 m_before;
    qint64 m_lowest;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct UpdaterRun
{
    double ms;        // from its first output to its exit
    double launchMs;  // from its first output to the main application's start
    double peakRssMb;
    double peakDiskMb;
};

qint64 monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Runs the updater of an installation to its exit. Its first output is written as the
// attempt starts: the times run from the moment it arrives, so the 3 s wait before the
// attempt is left out. The stand-in main application writes the moment it starts to
// `launchClock` (launch_clock.cpp, the same monotonic clock). The disk is sampled only when
// asked (in the uncounted warm-up round), so that the sampling thread never takes time from a
// timed run.
UpdaterRun runUpdater(const QString &updaterPath, const QString &install,
                      const QString &launchClock, bool sampleDisk)
{
    QFile::remove(launchClock);
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("/usr/bin/time"),
                  {QStringLiteral("-f"), QStringLiteral("maxrss-kb %M"), updaterPath});
    if (!process.waitForStarted() || !process.waitForReadyRead(60000))
        fail("the updater did not start copying");
    const qint64 started = monotonicNs();
    std::unique_ptr<DiskSampler> disk(sampleDisk ? new DiskSampler(install) : nullptr);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        fail("the updater did not finish");
    const qint64 exited = monotonicNs();
    UpdaterRun result{(exited - started) / 1e6, -1, 0, disk ? disk->stop() : 0.0};
    const QList<QByteArray> lines = process.readAllStandardError().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("maxrss-kb "))
            result.peakRssMb = line.mid(10).toDouble() / 1024.0;
        else if (line.startsWith("quillmoor.")) // a failed attempt's reason: its retry is timed
            std::fprintf(stderr, "bench_copy: the updater said: %s\n", line.constData());
    }
    if (result.peakRssMb <= 0)
        fail("no peak memory figure from /usr/bin/time");
    // A main application started just before the updater exits may record its start after.
    for (int waited = 0; waited < 10000 && result.launchMs < 0; ++waited) {
        QFile clock(launchClock);
        if (clock.open(QIODevice::ReadOnly)) {
            bool read = false;
            const qint64 launched = clock.readAll().trimmed().toLongLong(&read);
            if (read)
                result.launchMs = (launched - started) / 1e6;
        } else {
            ::usleep(1000);
        }
    }
    if (result.launchMs < 0)
        fail("the main application did not start (no launch time recorded)");
    return result;
}

// Heap bytes in use in this process, small and large (mmap'd) blocks together.
qint64 heapBytes()
{
    const struct mallinfo2 m = ::mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
}

// The staging tree's removal after a finished update, as the updater makes it: each entry
// listed and removed (a link as a link), directories last. Plain POSIX calls on open
// directories, so that it depends on nothing of the updater's.
bool removeTreeAt(int parent, const char *name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool removed = true;
    while (const dirent *entry = ::readdir(dir)) {
        const char *n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        bool isDir = entry->d_type == DT_DIR;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN && ::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0)
            isDir = S_ISDIR(st.st_mode);
        removed = (isDir ? removeTreeAt(fd, n) : ::unlinkat(fd, n, 0) == 0) && removed;
    }
    ::closedir(dir);
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 && removed;
}

bool removeStaged(const QString &root)
{
    return removeTreeAt(AT_FDCWD, QFile::encodeName(root).constData());
}

void row(const char *benchmark, double oursMs, const char *alternative, double theirsMs,
         const char *target = "")
{
    std::printf("| %s%s | %.2f s | %s: %.2f s | %.2fx |\n", benchmark, target, oursMs / 1000,
                alternative, theirsMs / 1000, theirsMs / oursMs);
}

// An installation as the updater finds it: the program in bin/, a stand-in main application
// that records when it starts, the staged release (once staged) in _update/.
struct Installation
{
    QString root;
    QString staging;
    QString updater;
};

Installation equip(const QString &root)
{
    const Installation in{root, root + QStringLiteral("/_update"), root + QStringLiteral("/bin/updater")};
    QDir().mkpath(root + QStringLiteral("/bin"));
    if (!QFile::copy(QStringLiteral(UPDATER_BINARY), in.updater))
        fail("cannot copy the updater");
    if (!QFile::copy(QStringLiteral(LAUNCH_CLOCK_BINARY), root + QStringLiteral("/Quillmoor.exe")))
        fail("cannot copy the stand-in main application");
    return in;
}

// Asks the file system to place each new subdirectory of `dir` as it places top-level
// directories (ext4: in a block group of its own choosing, away from the others).
bool spreadSubdirectories(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool spread = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags |= FS_TOPDIR_FL;
    spread = spread && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return spread;
}

// True when `b` holds exactly the names of `a`, hidden ones included, and the first file
// of each has the same bytes.
bool sameDirectory(const QString &a, const QString &b)
{
    const auto names = [](const QString &path) {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                    QDir::Name);
    };
    const QStringList listed = names(a);
    if (listed.isEmpty() || listed != names(b))
        return false;
    QFile one(a + QLatin1Char('/') + listed.first());
    QFile other(b + QLatin1Char('/') + listed.first());
    return one.open(QIODevice::ReadOnly) && other.open(QIODevice::ReadOnly)
            && one.readAll() == other.readAll();
}

// Writes `bytes` to a new file and leaves them to the kernel's write-back.
bool writeUnsynced(const QString &path, qint64 bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::vector<char> chunk(size_t(1) << 20, 'u');
    bool written = true;
    for (qint64 left = bytes; left > 0 && written; left -= qint64(chunk.size()))
        written = ::write(fd, chunk.data(), chunk.size()) == ssize_t(chunk.size());
    return ::close(fd) == 0 && written;
}

// The machine's data written but not yet on disk, in MB.
double dirtyMb()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : meminfo.readAll().split('\n')) {
        if (line.startsWith("Dirty:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);

    const bool small = qEnvironmentVariableIntValue("QUILL_BENCH_SMALL") != 0;
    // "many": 100,000 files of 1 KB in 1,000 directories, where the cost is all per file.
    const bool many = qgetenv("QUILL_BENCH_TREE") == "many";
    const Tree tree = many ? (small ? Tree{10000, 1024, 100, 0, 0} : Tree{100000, 1024, 1000, 0, 0})
                           : small ? Tree{1000, 4096, 10, 2, 4 << 20}
                                   : Tree{10000, 4096, 100, 20, qint64(32) << 20};
    bool given = false;
    int rounds = qEnvironmentVariableIntValue("QUILL_BENCH_ROUNDS", &given);
    if (!given || rounds < 1)
        rounds = 3;
    // The floor's threads (copy_probe.h): the calls that wait for the disk gain from many.
    int floorThreads = qEnvironmentVariableIntValue("QUILL_BENCH_FLOOR_THREADS", &given);
    if (!given || floorThreads < 1)
        floorThreads = 16;
    const bool journaled = !qEnvironmentVariableIsEmpty("QUILL_BENCH_JOURNALED");

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench_copy-XXXXXX"));
    if (!work.isValid())
        fail("cannot create a work directory");
    const QString release = work.path() + QStringLiteral("/release");
    const QString launchClock = work.path() + QStringLiteral("/launched");
    qputenv("QUILL_BENCH_LAUNCH_CLOCK", QFile::encodeName(launchClock));
    std::fprintf(stderr, "bench_copy: laying out %d files of %d bytes in %d directories and "
                         "%d files of %lld MB in %s\n",
                 tree.smallFiles, tree.smallSize, tree.directories, tree.largeFiles,
                 tree.largeSize >> 20, qPrintable(work.path()));
    const Installation main = equip(work.path() + QStringLiteral("/install"));
    if (!makeTree(release, tree) || !makeTree(main.root, tree))
        fail("cannot write the trees");

    // A directory on another file system, for a staging tree whose files cannot be linked.
    const QString otherFs = qEnvironmentVariableIsSet("QUILL_BENCH_OTHER_FS")
            ? qEnvironmentVariable("QUILL_BENCH_OTHER_FS") : QStringLiteral("/dev/shm");
    std::unique_ptr<QTemporaryDir> elsewhere;
    struct stat installFs, otherStat;
    if (::stat(QFile::encodeName(main.root).constData(), &installFs) == 0
        && ::stat(QFile::encodeName(otherFs).constData(), &otherStat) == 0
        && installFs.st_dev != otherStat.st_dev) {
        elsewhere = std::make_unique<QTemporaryDir>(otherFs + QStringLiteral("/bench_copy-XXXXXX"));
        if (!elsewhere->isValid())
            elsewhere.reset();
    }
    const bool forced = elsewhere && !many;

    // Copies make every part a new file. On ext4 without a journal, a new file is slow in a
    // block group where many files were freed in the last minutes (the allocator steps over
    // each one), so every timed forced-copy run gets an installation of its own, laid out
    // before the first round and never touched by a removal before its run. Their parent
    // asks ext4 to spread them over block groups as it spreads top-level directories, so that
    // one run's removals are not in the next one's groups.
    struct Fresh
    {
        Installation ours, theirs, phases, floor;
    };
    std::vector<Fresh> fresh;
    bool spread = false;
    if (forced) {
        const QString parent = work.path() + QStringLiteral("/fresh");
        QDir().mkpath(parent);
        spread = spreadSubdirectories(parent);
        for (int round = 1; round <= rounds; ++round) {
            const auto layOut = [&](const char *name) {
                const QString root = QStringLiteral("%1/r%2-%3").arg(parent).arg(round).arg(QLatin1String(name));
                if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), release, root}))
                    fail("cannot lay out a fresh installation");
                return equip(root);
            };
            fresh.push_back({layOut("ours"), layOut("theirs"), layOut("phases"), layOut("floor")});
        }
    }
    syncDisks();

    // What freeing a file costs this disk, before the rounds and after them.
    const probe::FileCosts unlinkBefore = probe::fileCosts(
            QFile::encodeName(work.path()).toStdString(), 2000, 4096);

    const auto stage = [&](const Installation &in) {
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), release, in.staging}))
            fail("cannot stage the release");
        syncDisks();
    };
    // The staging directory as a link to a copy of the release on the other file system.
    const QString remote = elsewhere ? elsewhere->path() + QStringLiteral("/staging") : QString();
    const auto stageElsewhere = [&](const Installation &in) {
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), release, remote})
            || !QFile::link(remote, in.staging))
            fail("cannot stage the release on the other file system");
        syncDisks();
    };
    const auto unstageElsewhere = [&](const Installation &in) {
        QFile::remove(in.staging);
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), remote});
    };
    const auto timeMs = [](const auto &step) {
        QElapsedTimer clock;
        clock.start();
        if (!step())
            fail("a timed step failed");
        return clock.nsecsElapsed() / 1e6;
    };
    const auto cpAndRm = [&](const Installation &in, const QString &from, const QString &removed,
                             double *copyMs, bool durable = false) {
        *copyMs = timeMs([&] {
            return run(QStringLiteral("cp"), {QStringLiteral("-a"), from + QStringLiteral("/."),
                                              in.root + QStringLiteral("/")})
                    && (!durable || run(QStringLiteral("sync"), {}));
        });
        return *copyMs + timeMs([&] { return run(QStringLiteral("rm"), {QStringLiteral("-rf"), removed}); });
    };
    // An update that says it succeeded must have left the release in place and nothing of
    // its own (checked in one directory).
    const auto checkInstalled = [&](const Installation &in, const char *what) {
        if (!sameDirectory(release + QStringLiteral("/dir0"), in.root + QStringLiteral("/dir0")))
            fail(qPrintable(QStringLiteral("%1 succeeded, but the installation does not hold the release")
                                    .arg(QLatin1String(what))));
        if (QFileInfo(in.staging).exists() || QFileInfo(in.staging).isSymLink())
            fail(qPrintable(QStringLiteral("%1 left the staging tree").arg(QLatin1String(what))));
    };

    Updater updater(nullptr); // its own timer never fires: this program runs no event loop
    const int copySlot = updater.metaObject()->indexOfMethod("copyAllFiles(QDir&,QDir&)");
    if (copySlot < 0)
        fail("no copyAllFiles slot");

    // The updater's own memory, without a release to speak of: one staged file.
    QDir().mkpath(main.staging);
    if (!writeRandomFile(main.staging + QStringLiteral("/baseline.dat"), 1024))
        fail("cannot stage the one-file release");
    const double baselineRssMb = runUpdater(main.updater, main.root, launchClock, false).peakRssMb;

    // The update's phases, through the transaction's calls in this process: files linked,
    // and copies forced (the staging tree on the other file system).
    struct Phases
    {
        std::vector<double> stage, sync, commit, finish, removal, free, total;
        std::vector<std::vector<double> *> all()
        {
            return {&stage, &sync, &commit, &finish, &removal, &free, &total};
        }
    } phases, copiedPhases;
    // The transaction's heap once staged and once committed (what it holds until it goes:
    // nothing is freed before), the most it holds.
    qint64 heapStaged = 0, heapCommitted = 0;
    const auto phasedUpdate = [&](Phases &phases, bool copies, const Installation &in) {
        if (copies)
            stageElsewhere(in);
        else
            stage(in);
        const qint64 heapBefore = heapBytes();
        double total = 0;
        {
            install::Transaction transaction(in.staging, in.root);
            const auto phase = [&](std::vector<double> &times, const auto &step) {
                times.push_back(timeMs(step));
                total += times.back();
            };
            phase(phases.stage, [&] { return transaction.stage(); });
            if (!copies)
                heapStaged = std::max(heapStaged, heapBytes() - heapBefore);
            phase(phases.sync, [&] { return transaction.sync(); });
            phase(phases.commit, [&] { return transaction.commit(); });
            if (!copies)
                heapCommitted = std::max(heapCommitted, heapBytes() - heapBefore);
            phase(phases.finish, [&] { return transaction.finish(); });
            // A staging link goes as a link, as the updater removes it; its tree stays. The
            // main application would start here; the old files go after it.
            phase(phases.removal, [&] { return copies ? QFile::remove(in.staging) : removeStaged(in.staging); });
            phase(phases.free, [&] {
                transaction.freeOldFiles(false);
                return true;
            });
        }
        phases.total.push_back(total);
        if (copies)
            run(QStringLiteral("rm"), {QStringLiteral("-rf"), remote});
        checkInstalled(in, "the transaction in process");
    };

    // The floor (copy_probe.h): each phase's times and the whole.
    struct FloorTimes
    {
        std::vector<double> total, totalWithoutRemoval, launch;
        std::vector<std::vector<double>> phases;
        probe::Floor last;
    } floorLinked, floorCopied;
    const auto floorUpdate = [&](FloorTimes &times, bool copies, const Installation &in) {
        if (copies)
            stageElsewhere(in);
        else
            stage(in);
        const probe::Floor result = probe::floorUpdate(QFile::encodeName(in.staging).toStdString(),
                                                       QFile::encodeName(in.root).toStdString(),
                                                       copies, floorThreads);
        if (result.ms < 0)
            fail("a call of the floor failed");
        if (copies)
            run(QStringLiteral("rm"), {QStringLiteral("-rf"), remote});
        checkInstalled(in, "the floor");
        times.total.push_back(result.ms);
        double removal = 0;
        for (const probe::Phase &phase : result.phases) {
            if (QByteArray(phase.name) == "remove")
                removal = phase.ms;
        }
        times.totalWithoutRemoval.push_back(result.ms - removal);
        times.launch.push_back(result.launchMs);
        times.phases.resize(result.phases.size());
        for (size_t i = 0; i < result.phases.size(); ++i)
            times.phases[i].push_back(result.phases[i].ms);
        times.last = result;
    };

    // The same update's system calls replayed one kind at a time (copy_probe.h): as the
    // updater makes them, then on open directories, on two and on sixteen threads, and with
    // the names made durable by directory.
    const std::vector<std::pair<const char *, probe::Style>> styles = {
        {"paths, 1 thread", {false, 1, false}},
        {"*at calls, 1 thread", {true, 1, false}},
        {"*at calls, 2 threads", {true, 2, false}},
        {"*at calls, 16 threads", {true, 16, false}},
        {"*at calls, 2 threads, fsync of each directory", {true, 2, true}},
    };
    std::vector<std::vector<std::vector<double>>> probeMs(styles.size());
    std::vector<probe::Phase> probeShape;
    const auto replay = [&](size_t style) {
        stage(main);
        const std::vector<probe::Phase> result = probe::replayLinkedUpdate(
                QFile::encodeName(main.staging).toStdString(), QFile::encodeName(main.root).toStdString(),
                styles[style].second);
        if (result.empty())
            fail("the replay of the update's calls failed");
        probeMs[style].resize(result.size());
        for (size_t i = 0; i < result.size(); ++i)
            probeMs[style][i].push_back(result[i].ms);
        probeShape = result;
    };

    // Another program's data, written but not yet on disk, on the installation's file system.
    const QString scratch = work.path() + QStringLiteral("/unwritten.bin");
    const qint64 unwrittenBytes = qint64(1) << 30;

    std::vector<double> cpCopy, cpBoth, oldCopy, oldBoth, ourCopy, ourBoth, ourLaunch,
            ourUnwritten, unwrittenDirtyMb, farCp, farCpSync, farOurs, farLaunch, farRepeated;
    double peakRss = 0, diskLinked = 0, diskCopied = 0;
    // Round 0 is a warm-up that is not counted: the first writes over freshly made files
    // run several times slower than later ones, for every contender alike. Ours and the
    // alternatives take turns to go first, round by round, so that neither always runs
    // right after the other's removals.
    for (int round = 0; round <= rounds; ++round) {
        const bool oursFirst = round % 2 == 0;
        const auto linkedOurs = [&] {
            // The updater's copy in this process, through the meta-object.
            stage(main);
            QDir source(main.staging);
            QDir target(main.root);
            bool copied = false;
            void *args[] = {&copied, &source, &target};
            ourCopy.push_back(timeMs([&] {
                updater.qt_metacall(QMetaObject::InvokeMetaMethod, copySlot, args);
                return copied;
            }));
            run(QStringLiteral("rm"), {QStringLiteral("-rf"), main.staging});
            checkInstalled(main, "copyAllFiles");

            // The real updater binary: copy, removal and launch.
            stage(main);
            const UpdaterRun linked = runUpdater(main.updater, main.root, launchClock, round == 0);
            checkInstalled(main, "the updater");
            ourBoth.push_back(linked.ms);
            ourLaunch.push_back(linked.launchMs);
            peakRss = std::max(peakRss, linked.peakRssMb);
            diskLinked = std::max(diskLinked, linked.peakDiskMb);

            // The same with another program's unwritten gigabyte on the file system.
            if (!many) {
                stage(main);
                if (!writeUnsynced(scratch, unwrittenBytes))
                    fail("cannot write the unsynced scratch file");
                unwrittenDirtyMb.push_back(dirtyMb());
                ourUnwritten.push_back(runUpdater(main.updater, main.root, launchClock, false).ms);
                checkInstalled(main, "the updater");
                QFile::remove(scratch);
                syncDisks();
            }

            phasedUpdate(phases, false, main);
            floorUpdate(floorLinked, false, main);
        };
        const auto linkedTheirs = [&] {
            double ms = 0;
            stage(main);
            cpBoth.push_back(cpAndRm(main, main.staging, main.staging, &ms));
            cpCopy.push_back(ms);
            if (!many) {
                stage(main);
                oldCopy.push_back(timeMs([&] { return perFile::copy(QDir(main.staging), QDir(main.root)); }));
                oldBoth.push_back(oldCopy.back() + timeMs([&] { return perFile::remove(QDir(main.staging)); }));
            }
        };
        if (oursFirst) {
            linkedOurs();
            linkedTheirs();
        } else {
            linkedTheirs();
            linkedOurs();
        }
        // Each replay stages the tree anew; on the large tree once, in the last round.
        if (!many || round == rounds) {
            for (size_t style = 0; style < styles.size(); ++style)
                replay(style);
        }

        if (forced) {
            // The warm-up runs in the first installation; each counted round in fresh ones.
            const Fresh in = round == 0 ? Fresh{main, main, main, main} : fresh[size_t(round - 1)];
            const auto forcedOurs = [&] {
                stageElsewhere(in.ours);
                const UpdaterRun cold = runUpdater(in.ours.updater, in.ours.root, launchClock, round == 0);
                checkInstalled(in.ours, "the updater");
                unstageElsewhere(in.ours);
                farOurs.push_back(cold.ms);
                farLaunch.push_back(cold.launchMs);
                peakRss = std::max(peakRss, cold.peakRssMb);
                diskCopied = std::max(diskCopied, cold.peakDiskMb);
                // Again at once, in the installation whose old files that run just freed.
                stageElsewhere(in.ours);
                farRepeated.push_back(runUpdater(in.ours.updater, in.ours.root, launchClock, false).ms);
                checkInstalled(in.ours, "the updater");
                unstageElsewhere(in.ours);
                phasedUpdate(copiedPhases, true, in.phases);
                floorUpdate(floorCopied, true, in.floor);
            };
            const auto forcedTheirs = [&] {
                double ms = 0;
                stageElsewhere(in.theirs);
                farCpSync.push_back(cpAndRm(in.theirs, remote, remote, &ms, true));
                QFile::remove(in.theirs.staging);
                // cp writes over the installed files and removes none there: its installation
                // stays as fresh for the second run.
                stageElsewhere(in.theirs);
                farCp.push_back(cpAndRm(in.theirs, remote, remote, &ms));
                QFile::remove(in.theirs.staging);
            };
            if (oursFirst) {
                forcedOurs();
                forcedTheirs();
            } else {
                forcedTheirs();
                forcedOurs();
            }
        }
        std::fprintf(stderr, "bench_copy: round %d%s (%s first): cp+rm %.0f ms, updater %.0f ms "
                             "(launch at %.0f ms), in-process phases %.0f ms, floor %.0f ms%s\n",
                     round, round == 0 ? " (warm-up)" : "", oursFirst ? "ours" : "cp",
                     cpBoth.back(), ourBoth.back(), ourLaunch.back(), phases.total.back(),
                     floorLinked.total.back(),
                     farOurs.empty() ? ""
                                     : qPrintable(QStringLiteral("; copies forced: cp+sync+rm %1 ms, "
                                                                 "updater %2 ms, repeated %3 ms, floor %4 ms")
                                                          .arg(farCpSync.back(), 0, 'f', 0)
                                                          .arg(farOurs.back(), 0, 'f', 0)
                                                          .arg(farRepeated.back(), 0, 'f', 0)
                                                          .arg(floorCopied.total.back(), 0, 'f', 0)));
        if (round == 0) {
            for (auto *list : {&cpCopy, &cpBoth, &oldCopy, &oldBoth, &ourCopy, &ourBoth, &ourLaunch,
                               &ourUnwritten, &unwrittenDirtyMb, &farCp, &farCpSync, &farOurs,
                               &farLaunch, &farRepeated})
                list->clear();
            for (Phases *kind : {&phases, &copiedPhases}) {
                for (auto *list : kind->all())
                    list->clear();
            }
            for (FloorTimes *kind : {&floorLinked, &floorCopied}) {
                kind->total.clear();
                kind->totalWithoutRemoval.clear();
                kind->launch.clear();
                kind->phases.clear();
            }
            for (auto &style : probeMs) {
                for (auto &list : style)
                    list.clear();
            }
        }
    }

    const long files = long(tree.smallFiles) + tree.largeFiles;
    // What a new file costs against rewriting one that exists, on the installation's file
    // system: a copied part is a new file, cp -a rewrites the installed one.
    const probe::FileCosts fileCosts = probe::fileCosts(
            QFile::encodeName(work.path()).toStdString(), 2000, tree.smallSize);
    const probe::FileCosts unlinkAfter = tree.smallSize == 4096
            ? fileCosts : probe::fileCosts(QFile::encodeName(work.path()).toStdString(), 2000, 4096);
    long planFiles = 0;
    stage(main);
    const double planBytes = probe::compactPlanBytesPerFile(QFile::encodeName(main.staging).toStdString(),
                                                            &planFiles);
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), main.staging});

    const double totalMb = (double(tree.smallFiles) * tree.smallSize
                            + double(tree.largeFiles) * double(tree.largeSize)) / (1 << 20);
    // Ratios as speeds, ours over the alternative's (above 1 ours is faster), except where a
    // row says it divides times.
    std::printf("# tree copy%s: %d files of %d bytes in %d directories and %d of %lld MB "
                "(%.0f MB), median of %d rounds after a warm-up, page cache flushed before each, "
                "ours and cp taking turns to go first\n",
                journaled ? " on a journaled ext4 image" : "", tree.smallFiles, tree.smallSize,
                tree.directories, tree.largeFiles, tree.largeSize >> 20, totalMb, rounds);
    std::printf("| benchmark | ours | alternative | ratio |\n");
    std::printf("|---|---|---|---|\n");
    // Rows of a run on a journaled image say so: its targets differ, a journal costs every
    // writer of metadata, the updater's syncs most.
    const QByteArray where = journaled ? QByteArrayLiteral("journaled ext4 image: ") : QByteArray();
    const QByteArray label = where + (many ? QByteArray::number(tree.smallFiles) + " files: " : QByteArray());
    const auto timesRow = [&](const QByteArray &benchmark, double oursMs, const QByteArray &alternative,
                              double theirsMs) {
        std::printf("| %s%s | %.2f s | %s: %.2f s | %.2fx |\n", label.constData(), benchmark.constData(),
                    oursMs / 1000, alternative.constData(), theirsMs / 1000, oursMs / theirsMs);
    };

    // The headline: the update against the least its calls take, the launch, the effect of
    // others' unwritten data, the copies, the memory and what the disk charges for a removal.
    const double floorMs = median(floorLinked.total);
    row(label + "floor of a linked update: the calls it cannot avoid, each its fastest way, "
        "end to end (calls below)", floorMs, "cp -a + rm -rf", median(cpBoth));
    timesRow("linked update / floor: updater binary, output to exit (time / floor's; target <= 1.15x)",
             median(ourBoth), "floor", floorMs);
    timesRow("linked update / floor: copyAllFiles in process (time / floor's; target <= 1.15x)",
             median(ourCopy), "floor without the staging tree's removal", median(floorLinked.totalWithoutRemoval));
    row(label + "time to launch: updater binary, first output to the main application's start",
        median(ourLaunch), "cp -a + rm -rf", median(cpBoth), " (target >= 10x)");
    row(label + "time to launch: the floor's calls up to the staging tree's removal (the least a "
        "launch after it waits)", median(floorLinked.launch), "cp -a + rm -rf", median(cpBoth));
    if (!ourUnwritten.empty()) {
        std::printf("| %sanother program's 1 GB of unwritten data on this file system: updater binary "
                    "with it / without (time / time; target <= 1.2x) | %.2f s (%.0f MB dirty at its start) "
                    "| without: %.2f s | %.2fx |\n", label.constData(), median(ourUnwritten) / 1000,
                    median(unwrittenDirtyMb), median(ourBoth) / 1000, median(ourUnwritten) / median(ourBoth));
    }
    if (!farOurs.empty()) {
        row(label + "copies forced (staging on another file system), a fresh installation: updater binary",
            median(farOurs), "cp -a + sync + rm -rf", median(farCpSync), " (target >= 1.0x)");
        row(label + "floor of copies forced: the calls they cannot avoid, each its fastest way, "
            "end to end (calls below)", median(floorCopied.total), "cp -a + sync + rm -rf", median(farCpSync));
        timesRow(QByteArray("copies forced / floor: updater binary, output to exit (time / floor's")
                         + (journaled ? "; target <= 1.3x)" : ")"),
                 median(farOurs), "floor", median(floorCopied.total));
        timesRow("copies forced / floor: in process, the transaction's phases and the link's removal "
                 "(time / floor's)", median(copiedPhases.total), "floor", median(floorCopied.total));
        timesRow("copies forced, repeated within a minute in the same installation: updater binary "
                 "(time / cold time)", median(farRepeated), "cold, a fresh installation", median(farOurs));
        row(label + "copies forced: time to launch, first output to the main application's start",
            median(farLaunch), "cp -a + sync + rm -rf", median(farCpSync));
        row(label + "copies forced: time to launch, the floor's calls up to the staging link's removal",
            median(floorCopied.launch), "cp -a + sync + rm -rf", median(farCpSync));
    }
    std::printf("| %speak memory of the updater process (max RSS; target <= 40 MB) | %.1f MB "
                "| limit: 40 MB | %.2fx of the limit |\n", label.constData(), peakRss, peakRss / 40.0);
    std::printf("| %sunlink of a 4 KB file on this file system (2,000 files, after a sync) "
                "| %.1f us before the rounds | after them: %.1f us | |\n",
                label.constData(), unlinkBefore.remove, unlinkAfter.remove);

    // The rest: the copy and the whole against the alternatives, where the time goes.
    row(label + "copy of the staged tree: copyAllFiles (in process)", median(ourCopy), "cp -a",
        median(cpCopy));
    if (!many) {
        row(label + "copy of the staged tree: copyAllFiles (in process)", median(ourCopy),
            "per-file copy (in process)", median(oldCopy));
    }
    row(label + "copy and removal: updater binary, output to exit", median(ourBoth),
        "cp -a + rm -rf", median(cpBoth), journaled ? " (target >= 3x)" : " (target >= 5x)");
    if (!many) {
        row(label + "copy and removal: updater binary, output to exit", median(ourBoth),
            "per-file copy + removal (in process)", median(oldBoth));
    }
    if (!farOurs.empty()) {
        row(label + "copies forced (staging on another file system), a fresh installation: updater binary",
            median(farOurs), "cp -a + rm -rf", median(farCp));
    }

    // Where the update's time goes: the transaction's phases in this process.
    const auto phaseRows = [&](const char *kind, const Phases &times, double theirs,
                               const char *theirName, const char *staging, const char *finishing) {
        const double phaseTotal = median(times.total);
        const auto phaseRow = [&](const char *what, const std::vector<double> &times) {
            std::printf("| %s%s in process, %s | %.3f s | all phases: %.3f s | %.0f%% of it |\n",
                        label.constData(), kind, what, median(times) / 1000, phaseTotal / 1000,
                        100 * median(times) / phaseTotal);
        };
        phaseRow(staging, times.stage);
        phaseRow("sync (the parts' data made durable)", times.sync);
        phaseRow("commit (marker, one rename per file)", times.commit);
        phaseRow(finishing, times.finish);
        phaseRow("removal of the staging tree", times.removal);
        phaseRow("free (old files unlinked, their directories synced, after the launch)", times.free);
        row(label + kind + " in process, all phases", phaseTotal, theirName, theirs);
    };
    phaseRows("linked update", phases, median(cpBoth), "cp -a + rm -rf",
              "stage (walk, check, link)",
              "finish (the new names made durable, staged names unlinked)");
    if (!copiedPhases.total.empty()) {
        phaseRows("copies forced", copiedPhases, median(farCpSync), "cp -a + sync + rm -rf",
                  "stage (walk, check, new file + kernel copy)",
                  "finish (the new names made durable)");
    }

    // The same calls one kind at a time, as the updater makes them and the other ways.
    for (size_t i = 0; i < probeShape.size(); ++i) {
        const double ours = median(probeMs[0][i]);
        QByteArray others;
        double best = ours;
        for (size_t style = 1; style < styles.size(); ++style) {
            const double ms = median(probeMs[style][i]);
            best = std::min(best, ms);
            others += QByteArray(others.isEmpty() ? "" : "; ") + styles[style].first + ": "
                    + QByteArray::number(ms, 'f', 1) + " ms";
        }
        std::printf("| %scalls replayed%s: %s, %ld calls | %.1f ms (%.1f us a call), paths, "
                    "1 thread | %s | %.2fx |\n",
                    label.constData(), many ? " (last round)" : "", probeShape[i].name,
                    probeShape[i].calls, ours,
                    probeShape[i].calls ? 1000 * ours / probeShape[i].calls : 0.0,
                    others.constData(), best > 0 ? ours / best : 0.0);
    }
    // The least these calls take, each kind made its fastest way, and the least the old
    // files' removal takes alone: no update that makes these calls, or that frees the old
    // release before it exits, can beat the alternative by more than these ratios.
    double replayed = 0, fastest = 0, oldFiles = 0;
    for (size_t i = 0; i < probeShape.size(); ++i) {
        replayed += median(probeMs[0][i]);
        double best = median(probeMs[0][i]);
        for (size_t style = 1; style < styles.size(); ++style)
            best = std::min(best, median(probeMs[style][i]));
        fastest += best;
        if (QByteArray(probeShape[i].name).startsWith("unlink of the old files"))
            oldFiles = best;
    }
    row(label + "calls replayed, all kinds, paths, 1 thread", replayed, "cp -a + rm -rf",
        median(cpBoth));
    row(label + "calls replayed, each kind its fastest way (the most any update of these calls gains)",
        fastest, "cp -a + rm -rf", median(cpBoth));
    row(label + "unlink of the old files alone, its fastest way (the most any update that "
        "frees them gains)", oldFiles, "cp -a + rm -rf", median(cpBoth));

    std::printf("| %sper file of %d bytes, 2,000 files: a new file (O_CREAT, write) "
                "| %.1f us | rewrite of an existing one (O_TRUNC, write): %.1f us; unlink: %.1f us "
                "| %.2fx |\n", label.constData(), tree.smallSize, fileCosts.create,
                fileCosts.rewrite, fileCosts.remove, fileCosts.rewrite / fileCosts.create);
    std::printf("| %smemory per staged file: (max RSS - RSS of a one-file update) / files "
                "| %.0f bytes | one-file update: %.1f MB | %ld files |\n", label.constData(),
                (peakRss - baselineRssMb) * 1048576.0 / double(files), baselineRssMb, files);
    std::printf("| %smemory per staged file: the transaction's heap after stage / after commit "
                "| %.0f / %.0f bytes | in all: %.1f MB | %ld files |\n", label.constData(),
                double(heapStaged) / double(files), double(heapCommitted) / double(files),
                double(heapCommitted) / 1048576.0, files);
    std::printf("| %smemory per staged file: a compact plan (16-byte record + name) "
                "| %.0f bytes | %ld files | %.2fx of the transaction's |\n", label.constData(),
                planBytes, planFiles, heapCommitted > 0 ? planBytes * files / double(heapCommitted) : 0.0);
    std::printf("| %speak extra disk use during the update, files linked | %.1f MB | release: %.0f MB "
                "| %.3fx of the release |\n", label.constData(), diskLinked, totalMb, diskLinked / totalMb);
    if (!farOurs.empty()) {
        std::printf("| %speak extra disk use during the update, copies forced | %.1f MB "
                    "| release: %.0f MB | %.3fx of the release |\n", label.constData(),
                    diskCopied, totalMb, diskCopied / totalMb);
    }

    // Notes: what each floor is made of, so that its figure can be checked.
    const auto floorNotes = [&](const char *kind, const FloorTimes &times, bool copies) {
        const probe::Floor &f = times.last;
        QByteArray phaseTimes;
        for (size_t i = 0; i < f.phases.size(); ++i) {
            phaseTimes += QByteArray(i ? ", " : "") + f.phases[i].name + " "
                    + QByteArray::number(median(times.phases[i]), 'f', 1) + " ms";
        }
        std::printf("# %sfloor of %s, its calls (%ld files, %ld staged directories, %d threads): "
                    "the staged tree walked (getdents64 of each directory, openat of it and of its "
                    "installed one); per file %s; fsync of each installed directory with files (%ld) "
                    "and of the installation's root (commit marker and list); per file "
                    "renameat2(RENAME_EXCHANGE) of part and target; fsync of each installed "
                    "directory with files again; %s (where the main application could start); "
                    "per file unlinkat of the old file (at the part's name). Median time of each "
                    "step: %s.\n",
                    label.constData(), kind, f.files, f.dirs, floorThreads,
                    copies ? qPrintable(QStringLiteral(
                                     "openat of the source + fstat, openat(O_CREAT|O_EXCL|O_WRONLY) of "
                                     "a part beside the target, the data copied with %1 (copy_file_range "
                                     "tried once), fchmod, futimens (fchown only for another owner), "
                                     "sync_file_range(SYNC_FILE_RANGE_WRITE), close of the source; then "
                                     "fdatasync and close of each part")
                                     .arg(QLatin1String(f.copyCall)))
                           : "linkat of a part beside its target, openat + fdatasync + close of the part",
                    long(f.phases.size() > 4 ? f.phases[4].calls : 0),
                    copies ? "unlinkat of the staging link, its tree being on the other file system"
                           : "per file unlinkat of the staged name; unlinkat(AT_REMOVEDIR) of each "
                             "staging directory, deepest first",
                    phaseTimes.constData());
    };
    floorNotes("a linked update", floorLinked, false);
    if (!floorCopied.total.empty())
        floorNotes("copies forced", floorCopied, true);
    if (forced && !spread) {
        std::printf("# %sthe fresh installations could not be spread over block groups "
                    "(no FS_TOPDIR_FL here)\n", label.constData());
    }
    if (!elsewhere && !many) {
        std::printf("# copies forced: skipped, %s is on the installation's file system "
                    "(set QUILL_BENCH_OTHER_FS)\n", qPrintable(otherFs));
    }
    return 0;
}
