// Throughput of decodeUrl on a text file (ASCII or UTF-8).
// Usage: bench_urls FILE [RUNS [OUT]]
// Prints "decode <MB/s>", MB being 2^20 bytes of the file, best of RUNS (default 3). With OUT
// the decoded text is also written there in Latin-1 (every decoded character is U+0000 to
// U+00FF for an ASCII input) so that bench/urls.sh can check it against Python's result.
#include "tools.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS [OUT]]\n", argv[0]);
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

    qint64 best = -1;
    QString decoded;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        decoded = decodeUrl(text);
        const qint64 ns = timer.nsecsElapsed();
        if (best < 0 || ns < best)
            best = ns;
    }
    const double megabytes = double(bytes.size()) / (1024.0 * 1024.0);
    std::printf("decode %.1f\n", megabytes / (double(best) / 1e9));

    if (argc > 3) {
        QFile out(QString::fromLocal8Bit(argv[3]));
        if (!out.open(QIODevice::WriteOnly) || out.write(decoded.toLatin1()) < 0) {
            std::fprintf(stderr, "cannot write %s\n", argv[3]);
            return 1;
        }
    }
    std::fprintf(stderr, "decoded units: %lld\n", static_cast<long long>(decoded.size()));
    return 0;
}
