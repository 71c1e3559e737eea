// Token and substring helpers on arbitrary text, separators and markers. Beyond not
// crashing: the tokens joined with their separator give the text back, the count is at
// least 1 and getToken is empty outside it, and getTextBetween returns exactly the text that
// stands between the first start marker and the next end marker.
#include "fuzz_input.h"
#include "tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 3);
    const QString text = input.parts.at(0);
    const QString first = input.parts.at(1);
    const QString second = input.parts.at(2);

    if (!first.isEmpty()) {
        const int count = getTokenCount(text, first);
        FUZZ_CHECK(count >= 1 && count <= text.size() + 1, text, first);
        QStringList tokens;
        for (int i = 0; i < count; ++i)
            tokens << getToken(text, first, i);
        FUZZ_CHECK(tokens.join(first) == text, text, first);
        FUZZ_CHECK(getToken(text, first, count).isEmpty(), text, first);
        FUZZ_CHECK(getToken(text, first, -1).isEmpty(), text, first);
    }

    const QString between = getTextBetween(text, first, second);
    FUZZ_CHECK(!between.isNull(), text, first, second);
    FUZZ_CHECK(between.size() <= text.size(), text, first, second, between);
    if (!between.isEmpty() && !first.isEmpty() && !second.isEmpty()) {
        const int start = text.indexOf(first) + first.size();
        FUZZ_CHECK(start >= first.size(), text, first, second, between);
        FUZZ_CHECK(QStringView(text).mid(start, between.size()) == between, text, first,
                   second, between);
        // The end marker follows the result, and no earlier one starts past the content's
        // first character.
        const int end = start + between.size();
        FUZZ_CHECK(QStringView(text).mid(end, second.size()) == second, text, first, second,
                   between);
        FUZZ_CHECK(text.indexOf(second, start + 1) == end, text, first, second, between);
    }

    const int from = input.flags & 0x3f;
    const QString sub = subString(text, from - 8, from);
    FUZZ_CHECK(sub.size() <= 8, text);
    FUZZ_CHECK(text.contains(sub), text, sub);
    FUZZ_CHECK(collapseWhitespace(text).size() <= text.size(), text);
    return 0;
}
