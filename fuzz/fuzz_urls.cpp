// URL helpers on arbitrary text. Beyond not crashing: decodeUrl never lengthens a text,
// leaves one without "%" (or with its first "?" before its first "%") alone, decodes each
// escape once ("%2541" gives "%41"), so that escaping every character of a text, or only its
// "%" signs, and decoding gives the text back.
#include "fuzz_input.h"
#include "tools.h"

#include <QUrl>

namespace {

QString escapeAll(const QString &text, bool lowerCase)
{
    QString out;
    for (QChar c : text) {
        QString hex = QString::number(c.unicode(), 16).rightJustified(2, QLatin1Char('0'));
        out += QLatin1Char('%') + (lowerCase ? hex.toLower() : hex.toUpper());
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 1);
    const QString text = input.parts.at(0);
    const bool lowerCase = input.flags & 1;

    const QString decoded = decodeUrl(text);
    FUZZ_CHECK(decoded.size() <= text.size(), text, decoded);
    const int question = int(text.indexOf(QLatin1Char('?')));
    const int percent = int(text.indexOf(QLatin1Char('%')));
    if (percent < 0 || (question >= 0 && question < percent))
        FUZZ_CHECK(decoded == text, text, decoded);
    if (decoded.contains(QChar(0)))
        FUZZ_CHECK(text.contains(QChar(0)) || text.contains(QLatin1String("%00")), text,
                   decoded);

    // Round trips, for texts that an escape can hold: units up to U+00FF, no "?".
    bool escapable = question < 0;
    for (QChar c : text)
        escapable = escapable && c.unicode() <= 0xff;
    if (escapable) {
        const QString escaped = escapeAll(text, lowerCase);
        FUZZ_CHECK(decodeUrl(escaped) == text, text, escaped, decodeUrl(escaped));
        const QString percentsEscaped = QString(text).replace(QLatin1Char('%'),
                                                              QStringLiteral("%25"));
        FUZZ_CHECK(decodeUrl(percentsEscaped) == text, text, percentsEscaped,
                   decodeUrl(percentsEscaped));
    }

    FUZZ_CHECK(isHttpUrl(text) == text.startsWith(QLatin1String("http://")), text);
    FUZZ_CHECK(isRtmpUrl(text) == (text.startsWith(QLatin1String("rtmp://"))
                                   || text.startsWith(QLatin1String("rtmpe://"))),
               text);
    if (isValidUrl(text, false))
        FUZZ_CHECK(isHttpUrl(text), text);
    isValidUrl(text, true);
    urlPathAndQuery(QUrl(text));
    return 0;
}
