// The updater's copy and removal of a large staged release, side by side with `cp -a` and
// `rm -rf` of the same tree, and the peak memory of the real updater process.
//
// - copy: Updater::copyAllFiles called in this process through the meta-object (the slot
//   the update cycle runs), against `cp -a staging/. install/`;
// - copy and removal: the real updater binary end to end, timed from its output (written
//   when the copy starts) to its exit, so the 3 s start-up wait is left out but the removal
//   of the staging tree and the launch of the main application are in; against
//   `cp -a staging/. install/` followed by `rm -rf staging`;
// - the updater process's maximum resident set size during that run (/usr/bin/time).
//
// Every timed operation starts from the same state: the installation holds a full tree, the
// staging tree a fresh copy of the release, and the page cache is flushed to disk (sync).
// Prints a markdown table; QUILL_BENCH_ROUNDS sets the rounds (median kept, default 3, after
// an uncounted warm-up round) and QUILL_BENCH_SMALL=1 shrinks the tree for a quick try.
#include "updater.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

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

void fail(const char *what)
{
    std::fprintf(stderr, "bench_copy: %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);

    const bool small = qEnvironmentVariableIntValue("QUILL_BENCH_SMALL") != 0;
    const Tree tree = small ? Tree{1000, 4096, 10, 2, 4 << 20}
                            : Tree{10000, 4096, 100, 20, qint64(32) << 20};
    bool given = false;
    int rounds = qEnvironmentVariableIntValue("QUILL_BENCH_ROUNDS", &given);
    if (!given || rounds < 1)
        rounds = 3;

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench_copy-XXXXXX"));
    if (!work.isValid())
        fail("cannot create a work directory");
    const QString release = work.path() + QStringLiteral("/release");
    const QString install = work.path() + QStringLiteral("/install");
    const QString staging = install + QStringLiteral("/_update");
    std::fprintf(stderr, "bench_copy: laying out %d files of %d bytes in %d directories and "
                         "%d files of %lld MB in %s\n",
                 tree.smallFiles, tree.smallSize, tree.directories, tree.largeFiles,
                 tree.largeSize >> 20, qPrintable(work.path()));
    if (!makeTree(release, tree) || !makeTree(install, tree))
        fail("cannot write the trees");

    // The real program, laid out as it is installed, with a stand-in main application.
    QDir().mkpath(install + QStringLiteral("/bin"));
    const QString updaterPath = install + QStringLiteral("/bin/updater");
    if (!QFile::copy(QStringLiteral(UPDATER_BINARY), updaterPath))
        fail("cannot copy the updater");
    {
        QFile app(install + QStringLiteral("/Quillmoor.exe"));
        if (!app.open(QIODevice::WriteOnly) || app.write("#!/bin/sh\nexit 0\n") < 0)
            fail("cannot write the stand-in main application");
        app.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    const auto stage = [&] {
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), release, staging}))
            fail("cannot stage the release");
        syncDisks();
    };

    Updater updater(nullptr); // its own timer never fires: this program runs no event loop
    const int copySlot = updater.metaObject()->indexOfMethod("copyAllFiles(QDir&,QDir&)");
    if (copySlot < 0)
        fail("no copyAllFiles slot");

    std::vector<double> cpCopy, cpRemove, cpBoth, ourCopy, ourBoth, peakMb;
    QElapsedTimer clock;
    // Round 0 is a warm-up that is not counted: the first writes over freshly made files
    // run several times slower than later ones, for cp and the updater alike.
    for (int round = 0; round <= rounds; ++round) {
        // cp -a, then rm -rf, each timed on its own.
        stage();
        clock.start();
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), staging + QStringLiteral("/."),
                                        install + QStringLiteral("/")}))
            fail("cp -a failed");
        const double cpMs = clock.nsecsElapsed() / 1e6;
        clock.start();
        if (!run(QStringLiteral("rm"), {QStringLiteral("-rf"), staging}))
            fail("rm -rf failed");
        const double rmMs = clock.nsecsElapsed() / 1e6;
        cpCopy.push_back(cpMs);
        cpRemove.push_back(rmMs);
        cpBoth.push_back(cpMs + rmMs);

        // The updater's copy in this process, through the meta-object.
        stage();
        QDir source(staging);
        QDir target(install);
        bool copied = false;
        void *args[] = {&copied, &source, &target};
        clock.start();
        updater.qt_metacall(QMetaObject::InvokeMetaMethod, copySlot, args);
        ourCopy.push_back(clock.nsecsElapsed() / 1e6);
        if (!copied)
            fail("copyAllFiles failed");
        if (!run(QStringLiteral("rm"), {QStringLiteral("-rf"), staging}))
            fail("rm -rf failed");

        // The real updater binary: copy, removal and launch.
        stage();
        QProcess process;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral("/usr/bin/time"),
                      {QStringLiteral("-f"), QStringLiteral("maxrss-kb %M"), updaterPath});
        if (!process.waitForStarted() || !process.waitForReadyRead(60000))
            fail("the updater did not start copying");
        clock.start();
        if (!process.waitForFinished(-1) || process.exitCode() != 0)
            fail("the updater did not finish");
        ourBoth.push_back(clock.nsecsElapsed() / 1e6);
        if (QFileInfo::exists(staging))
            fail("the updater left the staging tree");
        const QList<QByteArray> lines = process.readAllStandardError().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("maxrss-kb "))
                peakMb.push_back(line.mid(10).toDouble() / 1024.0);
        }
        std::fprintf(stderr, "bench_copy: round %d%s: cp %.0f ms + rm %.0f ms; copyAllFiles "
                             "%.0f ms; updater copy+removal %.0f ms\n",
                     round, round == 0 ? " (warm-up)" : "", cpMs, rmMs, ourCopy.back(),
                     ourBoth.back());
        if (round == 0) {
            cpCopy.clear();
            cpRemove.clear();
            cpBoth.clear();
            ourCopy.clear();
            ourBoth.clear();
        }
    }
    if (peakMb.empty())
        fail("no peak memory figure from /usr/bin/time");

    const double totalMb = (double(tree.smallFiles) * tree.smallSize
                            + double(tree.largeFiles) * double(tree.largeSize)) / (1 << 20);
    const double peak = *std::max_element(peakMb.begin(), peakMb.end());
    // Ratios as speeds, ours over the alternative's: 1.00x is as fast, below 1 slower; the
    // target of at most 1.15 times cp's time is a ratio of at least 0.87x.
    std::printf("# tree copy: %d files of %d bytes in %d directories and %d of %lld MB "
                "(%.0f MB), median of %d rounds after a warm-up, page cache flushed before each\n",
                tree.smallFiles, tree.smallSize, tree.directories, tree.largeFiles,
                tree.largeSize >> 20, totalMb, rounds);
    std::printf("| benchmark | ours | alternative | ratio |\n");
    std::printf("|---|---|---|---|\n");
    std::printf("| copy of the staged tree: copyAllFiles (in process) | %.2f s | cp -a: %.2f s "
                "| %.2fx |\n",
                median(ourCopy) / 1000, median(cpCopy) / 1000, median(cpCopy) / median(ourCopy));
    std::printf("| copy and removal: updater binary, output to exit (target >= 0.87x) | %.2f s "
                "| cp -a + rm -rf: %.2f s | %.2fx |\n",
                median(ourBoth) / 1000, median(cpBoth) / 1000, median(cpBoth) / median(ourBoth));
    std::printf("| peak memory of the updater process in that update (max RSS) | %.1f MB "
                "| limit: 40 MB | %.2fx of the limit |\n",
                peak, peak / 40.0);
    return 0;
}
