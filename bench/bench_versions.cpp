// Comparisons per second of compareVersions and isNewerVersion over every pair of a mixed
// list of version strings, against Qt's QVersionNumber and a plain split-and-compare on the
// same strings in the same process; and expandStageLetters in MB/s on texts of stage letters
// of 4 and 16 MB, against the three chained QString::replace calls it used to be. Prints a
// header line and a markdown table for each.
#include "tools.h"

#include "benchutil.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QVector>
#include <QVersionNumber>
#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

const QStringList versions = {
    "1.0",       "1.2",        "1.2.0",     "1.2.1",     "1.10",      "1.9",
    "2.0",       "2.0.1",      "10.4.1.2",  "0.9.8",     "2024.1",    "2024.10.3",
    "3.1.4.1.5", "7",          "1.0a",      "1.0b",      "1.0f",      "2.1b2",
    "1.0 BETA",  "1.0 beta",   "1.0 rc",    "3,1",       "3,1,2",     "5.15.2",
    "6.4.2",     "11.0.0.123", "1.2.3.4",   "1.2.3.5",   "0.1",       "",
};

// Plain alternative: split both at "." and compare the numbers; no commas, no stages.
int splitCompare(const QString &first, const QString &second)
{
    const QStringList a = first.split(QLatin1Char('.'));
    const QStringList b = second.split(QLatin1Char('.'));
    const int n = std::max(a.size(), b.size());
    for (int i = 0; i < n; ++i) {
        const int x = i < a.size() ? a.at(i).toInt() : 0;
        const int y = i < b.size() ? b.at(i).toInt() : 0;
        if (x != y)
            return x > y ? -1 : 1;
    }
    return 0;
}

int qtCompare(const QString &first, const QString &second)
{
    return QVersionNumber::compare(QVersionNumber::fromString(first),
                                   QVersionNumber::fromString(second));
}

using Compare = std::function<int(const QString &, const QString &)>;

// Every result is stored, so no comparison can be left out.
volatile int sink = 0;

// Best comparisons-per-second of several rounds; the best round is the one least disturbed
// by whatever else the machine is doing.
double rate(const Compare &compare, int rounds)
{
    double best = 0;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer timer;
        timer.start();
        long long count = 0;
        do {
            for (const QString &a : versions)
                for (const QString &b : versions)
                    sink = compare(a, b);
            count += qint64(versions.size()) * versions.size();
        } while (timer.nsecsElapsed() < 200 * 1000 * 1000);
        best = std::max(best, count * 1e9 / double(timer.nsecsElapsed()));
    }
    return best;
}

QString perSecond(double value)
{
    return value >= 1e6 ? QString::number(value / 1e6, 'f', 2) + QStringLiteral(" M/s")
                        : QString::number(value / 1e3, 'f', 1) + QStringLiteral(" k/s");
}

void row(const char *name, const Compare &ours, const char *alternativeName,
         const Compare &alternative)
{
    // Interleaved, so a burst of load elsewhere hurts both sides alike.
    double o = 0;
    double a = 0;
    for (int i = 0; i < 3; ++i) {
        o = std::max(o, rate(ours, 1));
        a = std::max(a, rate(alternative, 1));
    }
    std::printf("| %s | %s | %s: %s | %.2f |\n", name, qPrintable(perSecond(o)), alternativeName,
                qPrintable(perSecond(a)), o / a);
    std::fflush(stdout);
}

// The three replacements in the order that defines the result: the alternative to one pass.
QString chainedReplace(QString version)
{
    version.replace(QLatin1Char('a'), QStringLiteral(" Alpha"), Qt::CaseSensitive);
    version.replace(QLatin1Char('b'), QStringLiteral(" Beta"), Qt::CaseSensitive);
    version.replace(QLatin1Char('f'), QStringLiteral(" Final"), Qt::CaseSensitive);
    return version;
}

// "abfabf..." of `megabytes` MB (2^20 characters each): every character a stage letter.
QString stageLetters(int megabytes)
{
    const int size = megabytes << 20;
    QString text(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        text[i] = QLatin1Char("abf"[i % 3]);
    return text;
}

double expandRate(const QString &text, const std::function<QString(const QString &)> &expand,
                  qint64 &check)
{
    return benchutil::bestMegabytesPerSecond(text.size(), 3, [&] {
        return qint64(expand(text).size());
    }, check);
}

// The chained replacements are quadratic: at 16 MB one call would take a minute or more, so
// they run at 1 and 4 MB only, which is enough to show how their time per MB grows.
void expandTable()
{
    const auto ours = [](const QString &text) { return ::expandStageLetters(text); };
    const char *const alternative = "3 chained QString::replace";
    qint64 check = 0;
    const QString small = stageLetters(1);
    const QString medium = stageLetters(4);
    const QString large = stageLetters(16);
    const double ours4 = expandRate(medium, ours, check);
    const double ours16 = expandRate(large, ours, check);
    const double chained1 = expandRate(small, chainedReplace, check);
    const double chained4 = expandRate(medium, chainedReplace, check);
    if (::expandStageLetters(medium) != chainedReplace(medium))
        std::printf("expandStageLetters and the chained replacements differ\n");

    std::printf("\n# expandStageLetters on \"abfabf...\": MB/s (MB = 2^20 characters of input), "
                "best of 3; ratio = ours / alternative, higher is better\n");
    std::printf("| benchmark | ours | alternative | ratio |\n");
    std::printf("|---|---|---|---|\n");
    std::printf("| expandStageLetters, 4 MB | %.1f MB/s | %s: %.2f MB/s | %.0f |\n", ours4,
                alternative, chained4, ours4 / chained4);
    std::printf("| expandStageLetters, 16 MB | %.1f MB/s | %s: not run (quadratic: 16 times "
                "the 4 MB time would be %.0f s a call) | |\n",
                ours16, alternative, 16.0 * 4.0 / chained4);
    std::printf("| expandStageLetters, time per MB, 16 MB / 4 MB (1.00 = linear) | %.2f | %s, "
                "4 MB / 1 MB: %.2f | |\n",
                ours4 / ours16, alternative, chained1 / chained4);
    std::fflush(stdout);
    std::fprintf(stderr, "output units: %lld\n", static_cast<long long>(check));
}

} // namespace

int main()
{
    std::printf("# version comparison: comparisons per second over all %lld pairs of %lld mixed "
                "versions (Qt %s); ratio = ours / alternative, higher is better\n",
                qint64(versions.size()) * versions.size(), qint64(versions.size()), qVersion());
    std::printf("| benchmark | ours | alternative | ratio |\n");
    std::printf("|---|---|---|---|\n");
    row("compareVersions", ::compareVersions, "QVersionNumber::fromString + compare", qtCompare);
    row("compareVersions", ::compareVersions, "QString::split + toInt", splitCompare);
    row(
        "isNewerVersion",
        [](const QString &a, const QString &b) { return int(::isNewerVersion(a, b)); },
        "QVersionNumber::fromString + compare",
        [](const QString &a, const QString &b) { return int(qtCompare(a, b) > 0); });
    expandTable();
    return 0;
}
