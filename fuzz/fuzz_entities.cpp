// HTML entity decoding and encoding on arbitrary text. Beyond not crashing: encoding gives
// printable ASCII without markup characters, within 8 units per input unit; decoding never
// lengthens a text and leaves one without "&" alone; and decoding an encoded text gives the
// text back (less U+0000, and read as UTF-8 where it is UTF-8 read as Latin-1).
#include "fuzz_input.h"
#include "tools.h"

#include <QStringDecoder>

namespace {

// What encoding keeps of a text: a text whose units are the bytes of valid UTF-8 read as
// Latin-1 (with at least one of them above ASCII, U+0000 counting as a byte too) is read as
// that UTF-8, and then U+0000 goes.
QString keptByEncoding(QString text)
{
    bool latin1 = true;
    bool aboveAscii = false;
    for (QChar c : text) {
        latin1 = latin1 && c.unicode() <= 0xff;
        aboveAscii = aboveAscii || c.unicode() >= 0x80;
    }
    if (latin1 && aboveAscii) {
        QStringDecoder utf8(QStringDecoder::Utf8,
                            QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        const QString decoded = utf8(text.toLatin1());
        if (!utf8.hasError())
            text = decoded;
    }
    return text.remove(QChar(0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 1);
    const QString text = input.parts.at(0);
    const bool named = input.flags & 1;

    const QString decoded = decodeHtmlEntities(text);
    FUZZ_CHECK(decoded.size() <= text.size(), text, decoded);
    FUZZ_CHECK(!decoded.isNull(), text);
    if (!text.contains(QLatin1Char('&')))
        FUZZ_CHECK(decoded == text, text, decoded);

    const QString encoded = encodeHtmlEntities(text, named);
    FUZZ_CHECK(encoded.size() <= 8 * qsizetype(text.size()), text, encoded);
    for (QChar c : encoded) {
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('<')
                           && c != QLatin1Char('>') && c != QLatin1Char('"'),
                   text, encoded);
    }
    const QString expected = keptByEncoding(text);
    const QString back = decodeHtmlEntities(encoded);
    FUZZ_CHECK(back == expected, text, encoded, back, expected);

    // The single-reference helpers on the same text.
    const QChar one = entityToChar(text);
    const QString numeric = namedToNumericEntity(text);
    const QString name = numericToNamedEntity(text);
    if (!numeric.isEmpty())
        FUZZ_CHECK(numericToNamedEntity(numeric) == text, text, numeric);
    if (!name.isEmpty())
        FUZZ_CHECK(decodeHtmlEntities(name) == QString(entityToChar(text)), text, name);
    if (text.size() == 1)
        FUZZ_CHECK(decodeHtmlEntities(charToEntity(text.at(0), named)) == keptByEncoding(text),
                   text);
    Q_UNUSED(one);
    return 0;
}
