// What the text benchmarks share: reading the input file and timing the best of a few runs.
#ifndef QUILLMOOR_BENCH_BENCHUTIL_H
#define QUILLMOOR_BENCH_BENCHUTIL_H

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace benchutil {

struct Input {
    QByteArray bytes; // the file as read
    QString text;     // the same, read as UTF-8
    int runs = 3;
};

// Reads "FILE [RUNS ...]" from the command line; prints why and returns false when it can't.
inline bool readInput(int argc, char **argv, const char *usage, Input &input)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        return false;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return false;
    }
    input.bytes = file.readAll();
    input.text = QString::fromUtf8(input.bytes);
    input.runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    return true;
}

// MB/s (MB = 2^20 bytes of input) of the fastest of `runs` calls of `work`. What `work`
// returns is added to `check`, which the caller prints, so no call can be optimised away.
inline double bestMegabytesPerSecond(qint64 bytes, int runs, const std::function<qint64()> &work,
                                     qint64 &check)
{
    qint64 best = -1;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        check += work();
        const qint64 ns = timer.nsecsElapsed();
        if (best < 0 || ns < best)
            best = ns;
    }
    return (double(bytes) / (1024.0 * 1024.0)) / (double(best) / 1e9);
}

} // namespace benchutil

#endif
