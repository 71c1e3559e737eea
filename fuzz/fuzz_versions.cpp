// Version comparison on arbitrary pairs of texts. Beyond not crashing: compareVersions is
// -1, 0 or 1, antisymmetric, 0 for a version with itself; isNewerVersion is never true both
// ways nor for a version with itself; stage ranks lie in 1 to 4.
#include "fuzz_input.h"
#include "tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 3);
    const QString a = input.parts.at(0);
    const QString b = input.parts.at(1);
    const QString c = input.parts.at(2);

    const int ab = compareVersions(a, b);
    const int ba = compareVersions(b, a);
    FUZZ_CHECK(ab >= -1 && ab <= 1, a, b);
    FUZZ_CHECK(ab == -ba, a, b, QString::number(ab), QString::number(ba));
    FUZZ_CHECK(compareVersions(a, a) == 0, a);

    // Transitivity where the fuzzer finds an ordered chain.
    const int bc = compareVersions(b, c);
    if (ab == bc && ab != 0)
        FUZZ_CHECK(compareVersions(a, c) == ab, a, b, c);

    const bool newer = isNewerVersion(a, b);
    FUZZ_CHECK(!(newer && isNewerVersion(b, a)), a, b);
    FUZZ_CHECK(!isNewerVersion(a, a), a);

    const int rank = getStageRank(a);
    FUZZ_CHECK(rank >= 1 && rank <= 4, a);
    FUZZ_CHECK(expandStageLetters(a).size() <= 6 * qsizetype(a.size()), a);
    return 0;
}
