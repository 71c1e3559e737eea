// Throughput of decodeHtmlEntities and encodeHtmlEntities on a UTF-8 text file.
// Usage: bench_entities FILE [RUNS]
// Prints one line per benchmark, "<name> <MB/s>", MB being 2^20 bytes of the file, best of
// RUNS (default 3). bench/entities.sh sets these next to Python's figures.
#include "tools.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

static double bestMegabytesPerSecond(qint64 bytes, int runs, const std::function<qint64()> &work,
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

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const QByteArray bytes = file.readAll();
    const QString text = QString::fromUtf8(bytes);
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;

    // The result sizes are summed and printed so that no call can be optimised away.
    qint64 check = 0;
    const double decode = bestMegabytesPerSecond(bytes.size(), runs, [&] {
        return qint64(decodeHtmlEntities(text).size());
    }, check);
    const double encode = bestMegabytesPerSecond(bytes.size(), runs, [&] {
        return qint64(encodeHtmlEntities(text, false).size());
    }, check);
    const double encodeNamed = bestMegabytesPerSecond(bytes.size(), runs, [&] {
        return qint64(encodeHtmlEntities(text, true).size());
    }, check);

    std::printf("decode %.1f\nencode %.1f\nencode-named %.1f\n", decode, encode, encodeNamed);
    std::fprintf(stderr, "output units: %lld\n", static_cast<long long>(check));
    return 0;
}
