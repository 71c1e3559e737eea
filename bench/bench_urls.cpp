// Throughput of decodeUrl on a text file (ASCII or UTF-8).
// Usage: bench_urls FILE [RUNS [OUT]]
// Prints "decode <MB/s>", MB being 2^20 bytes of the file, best of RUNS (default 3). With OUT
// the decoded text is also written there in Latin-1 (every decoded character is U+0000 to
// U+00FF for an ASCII input) so that bench/urls.sh can check it against Python's result.
#include "tools.h"

#include "benchutil.h"

#include <cstdio>

int main(int argc, char **argv)
{
    benchutil::Input input;
    if (!benchutil::readInput(argc, argv, "FILE [RUNS [OUT]]", input))
        return 2;

    QString decoded;
    qint64 check = 0;
    const double rate = benchutil::bestMegabytesPerSecond(input.bytes.size(), input.runs, [&] {
        decoded = decodeUrl(input.text);
        return qint64(decoded.size());
    }, check);
    std::printf("decode %.1f\n", rate);

    if (argc > 3) {
        QFile out(QString::fromLocal8Bit(argv[3]));
        if (!out.open(QIODevice::WriteOnly) || out.write(decoded.toLatin1()) < 0) {
            std::fprintf(stderr, "cannot write %s\n", argv[3]);
            return 1;
        }
    }
    std::fprintf(stderr, "decoded units: %lld\n", static_cast<long long>(check));
    return 0;
}
