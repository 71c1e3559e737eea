// HTML character references: the named table's lookups, and decoding and encoding of text.
// Both cost time in proportion to the text's length: decoding runs in one pass with a hashed
// name look-up, and gives a text without references (told by their ";") back uncopied;
// encoding in two, one to size the result and one to write it. Both pass over runs of
// unchanged text eight or sixteen units at a time.
#include "tools.h"
#include "tools_p.h"

#include <QStringView>
#include <QtAlgorithms>

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

using tools_p::emptyText;

namespace {

constexpr int EntityCount = int(sizeof(htmlEntityTable) / sizeof(htmlEntityTable[0]));
constexpr int MaxCodePoint = 0x10FFFF;

// The table's position for a code point, or -1: the order of the table makes this arithmetic.
int entryIndexOf(int codePoint)
{
    switch (codePoint) {
    case 34:
        return 0;
    case 38:
        return 1;
    case 60:
        return 2;
    case 62:
        return 3;
    default:
        return codePoint >= 160 && codePoint <= 255 ? codePoint - 156 : -1;
    }
}

bool isAsciiSpace(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Reads a decimal number as QString::toInt(base 10) does on Qt 6: ASCII whitespace around
// it, one optional sign, ASCII digits only. (Qt 5 also skips non-ASCII spaces; a reference
// should read the same on both.) Returns the number when it is a code point, else -1:
// nothing here has a use for a number outside 0 to 0x10FFFF.
int parseCodePoint(QStringView digits)
{
    const QChar *p = digits.data();
    const QChar *end = p + digits.size();
    while (p != end && isAsciiSpace(p->unicode()))
        ++p;
    while (end != p && isAsciiSpace(end[-1].unicode()))
        --end;
    bool negative = false;
    if (p != end && (*p == QChar(u'+') || *p == QChar(u'-'))) {
        negative = *p == QChar(u'-');
        ++p;
    }
    if (p == end)
        return -1;
    int value = 0;
    for (; p != end; ++p) {
        const char16_t c = p->unicode();
        if (c < u'0' || c > u'9')
            return -1;
        // Stop growing once out of range (but keep checking the digits) so it never overflows.
        if (value <= MaxCodePoint)
            value = value * 10 + (c - u'0');
    }
    if (value > MaxCodePoint || (negative && value != 0))
        return -1;
    return value;
}

// What getTextBetween(reference, "#", ";") gives: the text after the first "#" up to the
// first ";" found from one past it. A null view when there is none.
QStringView numberOf(QStringView reference)
{
    const QChar *begin = reference.data();
    const QChar *end = begin + reference.size();
    const QChar *hash = std::find(begin, end, QChar(u'#'));
    if (hash == end || end - hash < 3)
        return QStringView();
    const QChar *semicolon = std::find(hash + 2, end, QChar(u';'));
    if (semicolon == end)
        return QStringView();
    return QStringView(hash + 1, semicolon - hash - 1);
}

// A name's key: the units between "&" and ";", seven bits each. Names are 2 to 6 ASCII
// letters and digits, so every name has a key and no two share one; 0 for anything that
// cannot be a name.
quint64 nameKey(const char16_t *s, qsizetype n)
{
    if (n < 4 || n > 8 || s[0] != u'&' || s[n - 1] != u';')
        return 0;
    quint64 key = 0;
    for (qsizetype i = n - 2; i >= 1; --i) {
        if (s[i] == 0 || s[i] > 0x7F)
            return 0;
        key = (key << 7) | s[i];
    }
    return key;
}

// The table split into its halves once, and its names in a hash table by key, so that a
// decoder looks a name up with one multiplication and mostly one comparison.
struct EntityIndex
{
    static constexpr int Slots = 256; // a power of two, well above the table's size
    QString numeric[EntityCount];
    QString named[EntityCount];
    char16_t character[EntityCount];
    quint64 slotKey[Slots] = {};
    int slotEntry[Slots] = {};

    static int slotOf(quint64 key) { return int((key * 0x9E3779B97F4A7C15ULL) >> 56); }

    EntityIndex()
    {
        for (int i = 0; i < EntityCount; ++i) {
            numeric[i] = getToken(htmlEntityTable[i], QStringLiteral("="), 0);
            named[i] = getToken(htmlEntityTable[i], QStringLiteral("="), 1);
            character[i] = char16_t(parseCodePoint(numberOf(numeric[i])));
            const quint64 key = nameKey(reinterpret_cast<const char16_t *>(named[i].constData()),
                                        named[i].size());
            Q_ASSERT(key != 0);
            int slot = slotOf(key);
            while (slotKey[slot] != 0)
                slot = (slot + 1) % Slots;
            slotKey[slot] = key;
            slotEntry[slot] = i;
        }
    }

    // The entry whose named half is exactly the `n` units at `s`, or -1.
    int find(const char16_t *s, qsizetype n) const
    {
        const quint64 key = nameKey(s, n);
        if (key == 0)
            return -1;
        for (int slot = slotOf(key); slotKey[slot] != 0; slot = (slot + 1) % Slots) {
            if (slotKey[slot] == key)
                return slotEntry[slot];
        }
        return -1;
    }
    int find(QStringView reference) const
    {
        return find(reinterpret_cast<const char16_t *>(reference.data()), reference.size());
    }
};

const EntityIndex &entityIndex()
{
    static const EntityIndex index;
    return index;
}

// The code point a reference stands for: a name of the table, else the decimal number
// between "#" and ";". -1 when it stands for nothing.
int referenceCodePoint(const EntityIndex &index, const char16_t *reference, qsizetype n)
{
    // "&#233;", the usual numeric form, read at once; no name has a "#".
    if (n >= 4 && reference[1] == u'#' && reference[n - 1] == u';') {
        int value = 0;
        qsizetype i = 2;
        for (; i < n - 1 && reference[i] >= u'0' && reference[i] <= u'9'; ++i) {
            if (value <= MaxCodePoint)
                value = value * 10 + (reference[i] - u'0');
        }
        if (i == n - 1)
            return value <= MaxCodePoint ? value : -1;
    } else {
        const int entry = index.find(reference, n);
        if (entry >= 0)
            return index.character[entry];
    }
    return parseCodePoint(numberOf(QStringView(reference, n)));
}

int referenceCodePoint(QStringView reference)
{
    return referenceCodePoint(entityIndex(), reinterpret_cast<const char16_t *>(reference.data()),
                              reference.size());
}

// Whitespace as QChar::isSpace has it, with ASCII decided here.
inline bool isSpace(char16_t c)
{
    return c < 0x80 ? c == u' ' || (c >= u'\t' && c <= u'\r') : QChar::isSpace(c);
}

// Where the scan of a reference that begins at the "&" at `p` stops: at the first ";",
// "&" or whitespace after it, or at `end`.
const char16_t *referenceEnd(const char16_t *p, const char16_t *end)
{
    const char16_t *q = p + 1;
    while (q != end && *q != u';' && *q != u'&' && !isSpace(*q))
        ++q;
    return q;
}

#ifdef __SSE2__
// One bit per byte of the eight units in `v`, set for the two bytes of each "&".
inline unsigned ampersandMask(__m128i v)
{
    return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_set1_epi16(u'&'))));
}
#endif

// The first ";" from `p` on, or `end`; sixteen units a time, as most texts have few.
const char16_t *findSemicolon(const char16_t *p, const char16_t *end)
{
#ifdef __SSE2__
    const __m128i semicolon = _mm_set1_epi16(u';');
    while (end - p >= 16) {
        const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), semicolon);
        const __m128i b = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8)), semicolon);
        const unsigned found = unsigned(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
        if (found != 0)
            return p + qCountTrailingZeroBits(found);
        p += 16;
    }
#endif
    return std::find(p, end, u';');
}

// The "&" of the text's first reference, or `end`. A reference is known by its ";": the
// first ";" whose scan back meets an "&" before another ";" or whitespace ends a reference
// that began there, and none ends earlier. Each unit is looked at most twice, and a text
// with stray "&"s but no ";" (the usual text without references) once, sixteen at a time.
const char16_t *firstReference(const char16_t *begin, const char16_t *end)
{
    for (const char16_t *s = findSemicolon(begin, end); s != end; s = findSemicolon(s + 1, end)) {
        for (const char16_t *p = s; p != begin;) {
            const char16_t c = *--p;
            if (c == u'&')
                return p;
            if (c == u';' || isSpace(c))
                break;
        }
    }
    return end;
}

// The first "&" from `p` on, or `end`, with the units it passes copied to `*out`, and `*out`
// moved past them. Eight units are stored at a time, the ones after the run included: the
// caller's output is never ahead of its input, so there is room for them.
const char16_t *copyUntilAmpersand(const char16_t *p, const char16_t *end, char16_t **out)
{
    char16_t *o = *out;
#ifdef __SSE2__
    while (end - p >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), v);
        const unsigned found = ampersandMask(v);
        if (found != 0) {
            const int n = qCountTrailingZeroBits(found) / 2;
            *out = o + n;
            return p + n;
        }
        p += 8;
        o += 8;
    }
#endif
    const char16_t *run = std::find(p, end, u'&');
    *out = std::copy(p, run, o);
    return run;
}

// Printable ASCII without the four markup characters stands for itself in HTML text.
bool isKeptAsIs(char16_t c)
{
    return c >= 0x20 && c <= 0x7E && c != u'"' && c != u'&' && c != u'<' && c != u'>';
}

#ifdef __SSE2__
// One bit per byte of the eight units in `v`, set for the two bytes of each unit that is
// kept as it is.
inline unsigned keptMask(__m128i v)
{
    // Within 0x20..0x7E exactly where v - 0x20, unsigned, does not exceed 0x5E.
    const __m128i printable = _mm_cmpeq_epi16(
            _mm_subs_epu16(_mm_sub_epi16(v, _mm_set1_epi16(0x20)), _mm_set1_epi16(0x5E)),
            _mm_setzero_si128());
    // '"' (0x22) and '&' (0x26) are the units that give 0x26 with bit 2 set, '<' (0x3C) and
    // '>' (0x3E) those that give 0x3E with bit 1 set.
    const __m128i markup = _mm_or_si128(
            _mm_cmpeq_epi16(_mm_or_si128(v, _mm_set1_epi16(4)), _mm_set1_epi16(u'&')),
            _mm_cmpeq_epi16(_mm_or_si128(v, _mm_set1_epi16(2)), _mm_set1_epi16(u'>')));
    return unsigned(_mm_movemask_epi8(_mm_andnot_si128(markup, printable)));
}
#endif

// The first unit from `p` on that is not kept as it is, or `end`. Ordinary text is mostly
// such runs, so they are skipped eight units at a time where SSE2 is there.
const char16_t *skipKept(const char16_t *p, const char16_t *end)
{
#ifdef __SSE2__
    while (end - p >= 8) {
        const unsigned kept = keptMask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        if (kept != 0xFFFF)
            return p + qCountTrailingZeroBits(~kept) / 2;
        p += 8;
    }
#endif
    while (p != end && isKeptAsIs(*p))
        ++p;
    return p;
}

// skipKept that also copies the units it passes to `*out` and moves `*out` past them. Eight
// units are stored at a time, the ones after the run included, where `limit` leaves room.
const char16_t *copyKept(const char16_t *p, const char16_t *end, char16_t **out,
                         const char16_t *limit)
{
    char16_t *o = *out;
#ifdef __SSE2__
    while (end - p >= 8 && limit - o >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), v);
        const unsigned kept = keptMask(v);
        if (kept != 0xFFFF) {
            const int n = qCountTrailingZeroBits(~kept) / 2;
            *out = o + n;
            return p + n;
        }
        p += 8;
        o += 8;
    }
#endif
    const char16_t *run = skipKept(p, end);
    *out = std::copy(p, run, o);
    return run;
}

// The first unit from `p` on that is not ASCII, or `end`.
const char16_t *skipAscii(const char16_t *p, const char16_t *end)
{
#ifdef __SSE2__
    const __m128i high = _mm_set1_epi16(short(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const unsigned ascii =
                unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), zero)));
        if (ascii != 0xFFFF)
            return p + qCountTrailingZeroBits(~ascii) / 2;
        p += 8;
    }
#endif
    while (p != end && *p < 0x80)
        ++p;
    return p;
}

int decimalLength(uint value)
{
    int length = 1;
    while (value >= 10) {
        value /= 10;
        ++length;
    }
    return length;
}

// Writes "&#<value>;" at `out` and returns the end.
char16_t *writeNumber(char16_t *out, uint value)
{
    *out++ = u'&';
    *out++ = u'#';
    const int length = decimalLength(value);
    for (int i = length - 1; i >= 0; --i) {
        out[i] = char16_t(u'0' + value % 10);
        value /= 10;
    }
    out += length;
    *out++ = u';';
    return out;
}

// What charToEntity gives for each of U+0000..U+00FF, the units most text is made of, ready
// to be copied: "" for NUL, the unit itself where it is kept, else its reference.
struct Latin1References
{
    static constexpr int Width = 8; // "&frac14;" and the like are the longest
    char16_t text[256][Width] = {};
    quint8 length[256] = {};

    explicit Latin1References(bool useNamedEntities)
    {
        for (int c = 1; c < 256; ++c) {
            const int entry = useNamedEntities ? entryIndexOf(c) : -1;
            if (isKeptAsIs(char16_t(c))) {
                text[c][0] = char16_t(c);
                length[c] = 1;
            } else if (entry >= 0) {
                const QString &name = entityIndex().named[entry];
                Q_ASSERT(name.size() <= Width);
                std::copy_n(reinterpret_cast<const char16_t *>(name.constData()), name.size(),
                            text[c]);
                length[c] = quint8(name.size());
            } else {
                length[c] = quint8(writeNumber(text[c], uint(c)) - text[c]);
            }
        }
    }
};

const Latin1References &latin1References(bool useNamedEntities)
{
    static const Latin1References numeric(false);
    static const Latin1References named(true);
    return useNamedEntities ? named : numeric;
}

// One walk of the encoder over the text. The sink either counts the output or writes it, so
// that the result is allocated once at its exact size. Units that stay as they are go to the
// sink a run at a time, U+0000..U+00FF through the table.
template <typename Sink>
void encodeUnits(const char16_t *p, const char16_t *end, const Latin1References &latin1,
                 Sink &sink)
{
    while (p != end) {
        p = sink.putKept(p, end);
        if (p == end)
            break;
        const char16_t c = *p;
        if (c < 256) {
            sink.putLatin1(latin1, c);
            ++p;
        } else if (QChar::isHighSurrogate(c) && end - p >= 2 && QChar::isLowSurrogate(p[1])) {
            // A character outside the BMP is one reference to its code point; a browser would
            // not join two references to the halves of a surrogate pair.
            sink.putNumber(QChar::surrogateToUcs4(c, p[1]));
            p += 2;
        } else {
            sink.putNumber(c); // the table names nothing above U+00FF
            ++p;
        }
    }
}

struct CountingSink
{
    qint64 length = 0;
    const char16_t *putKept(const char16_t *p, const char16_t *end)
    {
        const char16_t *run = skipKept(p, end);
        length += run - p;
        return run;
    }
    void putLatin1(const Latin1References &latin1, char16_t c) { length += latin1.length[c]; }
    void putNumber(uint value) { length += 3 + decimalLength(value); }
};

struct WritingSink
{
    char16_t *out;
    char16_t *limit;
    const char16_t *putKept(const char16_t *p, const char16_t *end)
    {
        return copyKept(p, end, &out, limit);
    }
    void putLatin1(const Latin1References &latin1, char16_t c)
    {
        // A fixed-width copy is quicker than one of the reference's own length, where the
        // result has room for it; only that length counts.
        if (limit - out >= Latin1References::Width)
            std::copy_n(latin1.text[c], Latin1References::Width, out);
        else
            std::copy_n(latin1.text[c], latin1.length[c], out);
        out += latin1.length[c];
    }
    void putNumber(uint value) { out = writeNumber(out, value); }
};

// The length of the encoded text. Blocks of eight units of Latin-1, most of any ordinary text,
// are counted straight from the table, without a branch per unit.
qint64 encodedLength(const char16_t *p, const char16_t *end, const Latin1References &latin1)
{
    CountingSink counter;
#ifdef __SSE2__
    const __m128i beyondLatin1 = _mm_set1_epi16(short(0xFF00));
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, beyondLatin1), zero)) == 0xFFFF) {
            for (int i = 0; i < 8; ++i)
                counter.length += latin1.length[p[i]];
            p += 8;
            continue;
        }
        // Unit by unit. A high surrogate at the block's end is left to the next block, so that
        // it is read together with what follows it, as the writer reads it.
        const char16_t *stop = p + 8;
        if (stop != end && QChar::isHighSurrogate(stop[-1]))
            --stop;
        encodeUnits(p, stop, latin1, counter);
        p = stop;
    }
#endif
    encodeUnits(p, end, latin1, counter);
    return counter.length;
}

// Reads units U+0000..U+00FF as the bytes of UTF-8 (shortest forms, no surrogates, nothing
// above U+10FFFF). With `write` null it only checks; otherwise it also writes the UTF-16 text
// at *write, which it moves past it; the text is never longer than the input. False at the
// first unit that is not such a byte or does not fit the sequence it is in.
bool readUnitsAsUtf8(const char16_t *p, const char16_t *end, char16_t **write)
{
    char16_t *out = write ? *write : nullptr;
    while (p != end) {
        const char16_t b = *p;
        uint cp;
        int extra;
        char16_t low = 0x80, high = 0xBF;
        if (b < 0x80) {
            if (out)
                *out++ = b;
            ++p;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            extra = 2;
            if (b == 0xE0)
                low = 0xA0; // overlong
            else if (b == 0xED)
                high = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            extra = 3;
            if (b == 0xF0)
                low = 0x90; // overlong
            else if (b == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false; // a continuation byte, 0xC0/0xC1, 0xF5..0xFF or not a byte at all
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            const char16_t next = p[i];
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        p += extra + 1;
        if (!out)
            continue;
        if (cp > 0xFFFF) {
            *out++ = QChar::highSurrogate(cp);
            *out++ = QChar::lowSurrogate(cp);
        } else {
            *out++ = char16_t(cp);
        }
    }
    if (write)
        *write = out;
    return true;
}

// Text whose units are all single bytes, some of them non-ASCII, that together form valid
// UTF-8 is taken for UTF-8 that was read as Latin-1 somewhere and is read again ("Ã©" is
// "é"). Anything else is already proper text and kept as it is, so that no character is lost.
// Real text fails the check at its first non-ASCII character or soon after, so the check
// costs a scan up to there.
QString repairedText(const QString &text)
{
    const char16_t *begin = reinterpret_cast<const char16_t *>(text.constData());
    const char16_t *end = begin + text.size();
    const char16_t *first = skipAscii(begin, end);
    if (first == end || !readUnitsAsUtf8(first, end, nullptr))
        return text;
    // The ASCII before the first other unit reads the same either way.
    QString decoded = text;
    char16_t *const start = reinterpret_cast<char16_t *>(decoded.data());
    char16_t *out = start + (first - begin);
    readUnitsAsUtf8(first, end, &out);
    decoded.truncate(tools_p::TextSize(out - start));
    return decoded;
}

} // namespace

QString namedToNumericEntity(QString entity)
{
    const EntityIndex &index = entityIndex();
    const int entry = index.find(entity);
    return entry >= 0 ? index.numeric[entry] : emptyText();
}

QString numericToNamedEntity(QString entity)
{
    const int entry = entryIndexOf(parseCodePoint(numberOf(entity)));
    return entry >= 0 ? entityIndex().named[entry] : emptyText();
}

QChar entityToChar(QString entity)
{
    const int codePoint = referenceCodePoint(entity);
    // One QChar cannot hold more; a number outside it is undecodable rather than wrapped.
    if (codePoint < 0 || codePoint > 0xFFFF)
        return QLatin1Char(' ');
    return QChar(char16_t(codePoint));
}

QString decodeHtmlEntities(QString text)
{
    const char16_t *const begin = reinterpret_cast<const char16_t *>(text.constData());
    const char16_t *const end = begin + text.size();

    // Up to the first reference the text stays as it is, and a text with none (stray "&"s
    // such as "Q&A" at most) is given back without a copy.
    const char16_t *p = firstReference(begin, end);
    if (p == end)
        return text.isNull() ? emptyText() : text;
    const char16_t *q = referenceEnd(p, end);

    // Decoding never lengthens the text: a reference has at least two characters and gives
    // one, and only one of at least eight ("&#65536;") gives two. So the output never gets
    // ahead of the input, and runs are copied eight units at a time while the input has them.
    const EntityIndex &index = entityIndex();
    QString result = tools_p::uninitializedText(text.size());
    char16_t *const start = reinterpret_cast<char16_t *>(result.data());
    char16_t *out = std::copy(begin, p, start);
    for (;;) {
        // p is at an "&" and q where its scan stopped. A reference runs to the next ";" with
        // no whitespace or other "&" on the way; a stray "&" ("a & b; c", "fish&chips") is
        // text, and what follows it up to q cannot hold an "&", so it is copied at once.
        if (q == end || *q != u';') {
            out = std::copy(p, q, out);
            p = q;
        } else {
            const int codePoint = referenceCodePoint(index, p, q + 1 - p);
            if (codePoint < 0) {
                *out++ = u' ';
            } else if (codePoint > 0xFFFF) {
                *out++ = QChar::highSurrogate(uint(codePoint));
                *out++ = QChar::lowSurrogate(uint(codePoint));
            } else {
                *out++ = char16_t(codePoint);
            }
            p = q + 1;
        }
        p = copyUntilAmpersand(p, end, &out);
        if (p == end)
            break;
        q = referenceEnd(p, end);
    }
    result.truncate(tools_p::TextSize(out - start));
    return result.isEmpty() ? emptyText() : result;
}

QString charToEntity(QChar ch, bool useNamedEntities)
{
    const char16_t c = ch.unicode();
    if (c == 0)
        return emptyText();
    if (isKeptAsIs(c))
        return QString(ch);
    if (useNamedEntities) {
        const int entry = entryIndexOf(c);
        if (entry >= 0)
            return entityIndex().named[entry];
    }
    return QStringLiteral("&#%1;").arg(uint(c));
}

QString encodeHtmlEntities(QString text, bool useNamedEntities)
{
    const QString source = repairedText(text);
    const char16_t *const begin = reinterpret_cast<const char16_t *>(source.constData());
    const char16_t *const end = begin + source.size();
    const Latin1References &latin1 = latin1References(useNamedEntities);

    const qint64 length = encodedLength(begin, end, latin1);
    if (length == 0)
        return emptyText();

    QString result = tools_p::uninitializedText(length);
    char16_t *const out = reinterpret_cast<char16_t *>(result.data());
    WritingSink writer{out, out + result.size()};
    encodeUnits(begin, end, latin1, writer);
    Q_ASSERT(writer.out == writer.limit);
    return result;
}
