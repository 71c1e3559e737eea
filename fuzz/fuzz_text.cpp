// Token and substring helpers on arbitrary text, separators and markers. Beyond not
// crashing: no text result of the library is ever a null string, for null and empty input
// alike; the tokens joined with their separator give the text back, the count is at least 1
// and getToken is empty outside it, and getTextBetween returns exactly the text that stands
// between the first start marker and the next end marker.
#include "fuzz_input.h"
#include "tools.h"

#include <QUrl>

namespace {

// Flag 0x40 turns every empty part into a null string, so that both reach the helpers.
QString part(const fuzz::Input &input, int index)
{
    const QString text = input.parts.at(index);
    return (input.flags & 0x40) && text.isEmpty() ? QString() : text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 3);
    const QString text = part(input, 0);
    const QString first = part(input, 1);
    const QString second = part(input, 2);
    const int from = input.flags & 0x3f;

    // No function of the library returns a null string, whatever the input: callers may read
    // null as "not given". Here all that return text and leave the file system alone.
#define NEVER_NULL(call) FUZZ_CHECK(!(call).isNull(), text, first, second, QString::number(from))
    for (int to = from - 9; to <= from + 1; ++to)
        NEVER_NULL(subString(text, from - 8, to));
    NEVER_NULL(subString(text, -1, 0));
    for (int index = -1; index <= 2; ++index)
        NEVER_NULL(getToken(text, first, index));
    NEVER_NULL(getTextBetween(text, first, second));
    NEVER_NULL(collapseWhitespace(text));
    NEVER_NULL(zeroPad(int(text.size()) - from, from - 32));
    NEVER_NULL(namedToNumericEntity(text));
    NEVER_NULL(numericToNamedEntity(text));
    NEVER_NULL(decodeHtmlEntities(text));
    NEVER_NULL(charToEntity(text.isEmpty() ? QChar() : text.at(0), from & 1));
    NEVER_NULL(encodeHtmlEntities(text, from & 1));
    NEVER_NULL(extractFileName(text));
    NEVER_NULL(extractFilePath(text));
    NEVER_NULL(extractFileExt(text));
    NEVER_NULL(changeFileExt(text, first));
    NEVER_NULL(cleanFileName(text, first));
    NEVER_NULL(toForwardSlashes(text));
    NEVER_NULL(urlPathAndQuery(QUrl(text)));
    NEVER_NULL(decodeUrl(text));
    NEVER_NULL(expandStageLetters(text));
    NEVER_NULL(floatToString(float(text.size()) / 7, from - 8));
    NEVER_NULL(formatSize(qint64(quint64(text.size()) << from)));
    NEVER_NULL(formatTime(int(text.size()) - from, first, from & 1, from & 2, from & 4));
    NEVER_NULL(formatDuration(int(text.size()) - from, from & 1, from & 2));
#undef NEVER_NULL

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

    const QString sub = subString(text, from - 8, from);
    FUZZ_CHECK(sub.size() <= 8, text);
    FUZZ_CHECK(text.contains(sub), text, sub);
    FUZZ_CHECK(collapseWhitespace(text).size() <= text.size(), text);
    return 0;
}
