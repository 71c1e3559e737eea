// Throughput of decodeHtmlEntities and encodeHtmlEntities on a UTF-8 text file.
// Usage: bench_entities FILE [RUNS]
// Prints one line per benchmark, "<name> <MB/s>", MB being 2^20 bytes of the file, best of
// RUNS (default 3), and "encoded <percent>": the share of the text's UTF-16 units that
// encoding turns into a reference, which tells an entity-dense text from ordinary text.
// bench/entities.sh sets these next to Python's figures.
#include "tools.h"

#include "benchutil.h"

#include <cstdio>

int main(int argc, char **argv)
{
    benchutil::Input input;
    if (!benchutil::readInput(argc, argv, "FILE [RUNS]", input))
        return 2;
    const QString &text = input.text;
    const qint64 size = input.bytes.size();
    const int runs = input.runs;

    // The result sizes are summed and printed so that no call can be optimised away.
    qint64 check = 0;
    const double decode = benchutil::bestMegabytesPerSecond(size, runs, [&] {
        return qint64(decodeHtmlEntities(text).size());
    }, check);
    const double encode = benchutil::bestMegabytesPerSecond(size, runs, [&] {
        return qint64(encodeHtmlEntities(text, false).size());
    }, check);
    const double encodeNamed = benchutil::bestMegabytesPerSecond(size, runs, [&] {
        return qint64(encodeHtmlEntities(text, true).size());
    }, check);

    qint64 encodedUnits = 0;
    for (const QChar ch : text) {
        if (charToEntity(ch, false) != QString(ch))
            ++encodedUnits;
    }

    std::printf("decode %.1f\nencode %.1f\nencode-named %.1f\n", decode, encode, encodeNamed);
    std::printf("encoded %.1f\n", text.isEmpty() ? 0.0 : 100.0 * encodedUnits / text.size());
    std::fprintf(stderr, "output units: %lld\n", static_cast<long long>(check));
    return 0;
}
