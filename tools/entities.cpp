// HTML character references: the named table's lookups, and decoding and encoding of text.
// Decoding and encoding run in one pass over the text with direct lookups, so that a text
// of many megabytes costs time in proportion to its length.
#include "tools.h"
#include "tools_p.h"

#include <QByteArray>
#include <QStringView>

#include <algorithm>
#include <limits>

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

int compareUnits(QStringView a, QStringView b)
{
    const auto n = std::min(a.size(), b.size());
    for (decltype(a.size()) i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i].unicode() < b[i].unicode() ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The table split into its halves once, with the entries sorted by name for a binary search.
struct EntityIndex
{
    QString numeric[EntityCount];
    QString named[EntityCount];
    char16_t character[EntityCount];
    int byName[EntityCount];

    EntityIndex()
    {
        for (int i = 0; i < EntityCount; ++i) {
            numeric[i] = getToken(htmlEntityTable[i], QStringLiteral("="), 0);
            named[i] = getToken(htmlEntityTable[i], QStringLiteral("="), 1);
            character[i] = char16_t(parseCodePoint(numberOf(numeric[i])));
            byName[i] = i;
        }
        std::sort(byName, byName + EntityCount, [this](int a, int b) {
            return compareUnits(named[a], named[b]) < 0;
        });
    }

    // The entry whose named half is exactly `reference`, or -1.
    int find(QStringView reference) const
    {
        const int *end = byName + EntityCount;
        const int *it = std::lower_bound(byName, end, reference, [this](int i, QStringView key) {
            return compareUnits(named[i], key) < 0;
        });
        return it != end && compareUnits(named[*it], reference) == 0 ? *it : -1;
    }
};

const EntityIndex &entityIndex()
{
    static const EntityIndex index;
    return index;
}

// The code point a reference stands for: a name of the table, else the decimal number
// between "#" and ";". -1 when it stands for nothing.
int referenceCodePoint(QStringView reference)
{
    const EntityIndex &index = entityIndex();
    const int entry = index.find(reference);
    if (entry >= 0)
        return index.character[entry];
    return parseCodePoint(numberOf(reference));
}

// Printable ASCII without the four markup characters stands for itself in HTML text.
bool isKeptAsIs(char16_t c)
{
    return c >= 0x20 && c <= 0x7E && c != u'"' && c != u'&' && c != u'<' && c != u'>';
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

// Walks the text once for the encoder; the sink either counts the output or writes it, so
// the result can be allocated once at its exact size.
template <typename Sink>
void encodeUnits(const QChar *p, const QChar *end, bool useNamedEntities, Sink &sink)
{
    const EntityIndex &index = entityIndex();
    while (p != end) {
        const char16_t c = p->unicode();
        if (isKeptAsIs(c)) {
            sink.put(*p++);
            continue;
        }
        if (c == 0) {
            ++p;
            continue;
        }
        // A character outside the BMP is one reference to its code point; a browser would
        // not join two references to the halves of a surrogate pair.
        if (QChar::isHighSurrogate(c) && end - p >= 2 && p[1].isLowSurrogate()) {
            sink.putNumber(QChar::surrogateToUcs4(c, p[1].unicode()));
            p += 2;
            continue;
        }
        const int entry = useNamedEntities ? entryIndexOf(c) : -1;
        if (entry >= 0)
            sink.putText(index.named[entry]);
        else
            sink.putNumber(c);
        ++p;
    }
}

struct CountingSink
{
    qint64 length = 0;
    void put(QChar) { ++length; }
    void putText(const QString &text) { length += text.size(); }
    void putNumber(uint value) { length += 3 + decimalLength(value); }
};

struct WritingSink
{
    QChar *out;
    void put(QChar c) { *out++ = c; }
    void putText(const QString &text)
    {
        out = std::copy(text.constBegin(), text.constEnd(), out);
    }
    void putNumber(uint value)
    {
        *out++ = QChar(u'&');
        *out++ = QChar(u'#');
        const int length = decimalLength(value);
        for (int i = length - 1; i >= 0; --i) {
            out[i] = QLatin1Char(char('0' + value % 10));
            value /= 10;
        }
        out += length;
        *out++ = QChar(u';');
    }
};

// Decodes `bytes` as UTF-8 into `out` when they are valid UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF); false, with `out` unspecified, when they are not.
bool decodeStrictUtf8(const QByteArray &bytes, QString &out)
{
    out.resize(bytes.size()); // never more UTF-16 units than bytes
    QChar *dst = out.data();
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const auto *end = p + bytes.size();
    while (p != end) {
        const unsigned char b = *p;
        uint cp;
        int extra;
        unsigned char low = 0x80, high = 0xBF;
        if (b < 0x80) {
            *dst++ = QChar(char16_t(b));
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
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            const unsigned char next = p[i];
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        p += extra + 1;
        if (cp > 0xFFFF) {
            *dst++ = QChar(QChar::highSurrogate(cp));
            *dst++ = QChar(QChar::lowSurrogate(cp));
        } else {
            *dst++ = QChar(char16_t(cp));
        }
    }
    out.resize(int(dst - out.constData()));
    return true;
}

// Text whose units are all single bytes, some of them non-ASCII, that together form valid
// UTF-8 is taken for UTF-8 that was read as Latin-1 somewhere and is read again ("Ã©" is
// "é"). Anything else is already proper text and kept as it is, so that no character is lost.
QString repairedText(const QString &text)
{
    bool nonAscii = false;
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return text;
        if (c.unicode() >= 0x80)
            nonAscii = true;
    }
    if (!nonAscii)
        return text;
    QString decoded;
    return decodeStrictUtf8(text.toLatin1(), decoded) ? decoded : text;
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
    const QChar *const begin = text.constData();
    const QChar *const end = begin + text.size();
    const QChar *p = std::find(begin, end, QChar(u'&'));
    if (p == end)
        return text.isNull() ? emptyText() : text;

    // Decoding never lengthens the text: a reference has at least two characters and gives
    // one, and only one of at least eight ("&#65536;") gives two.
    QString result(int(text.size()), Qt::Uninitialized);
    QChar *out = std::copy(begin, p, result.data());
    while (p != end) {
        // p is at an "&". A reference runs to the next ";" with no whitespace or other "&"
        // on the way; a stray "&" ("a & b; c", "fish&chips") is text, and what follows it
        // up to where the scan stopped cannot hold an "&", so it is copied at once.
        const QChar *q = p + 1;
        while (q != end && *q != QChar(u';') && *q != QChar(u'&') && !q->isSpace())
            ++q;
        if (q == end || *q != QChar(u';')) {
            out = std::copy(p, q, out);
            p = q;
        } else {
            const int codePoint = referenceCodePoint(QStringView(p, q + 1 - p));
            if (codePoint < 0) {
                *out++ = QLatin1Char(' ');
            } else if (codePoint > 0xFFFF) {
                *out++ = QChar(QChar::highSurrogate(uint(codePoint)));
                *out++ = QChar(QChar::lowSurrogate(uint(codePoint)));
            } else {
                *out++ = QChar(char16_t(codePoint));
            }
            p = q + 1;
        }
        const QChar *next = std::find(p, end, QChar(u'&'));
        out = std::copy(p, next, out);
        p = next;
    }
    result.resize(int(out - result.constData()));
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
    const QChar *begin = source.constData();
    const QChar *end = begin + source.size();

    CountingSink counter;
    encodeUnits(begin, end, useNamedEntities, counter);
    if (counter.length == 0)
        return emptyText();
    if (counter.length > std::numeric_limits<int>::max() - 1)
        qBadAlloc(); // as QString itself does when it cannot grow that far

    QString result(int(counter.length), Qt::Uninitialized);
    WritingSink writer{result.data()};
    encodeUnits(begin, end, useNamedEntities, writer);
    Q_ASSERT(writer.out == result.constData() + result.size());
    return result;
}
