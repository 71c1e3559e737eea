// URL scheme tests, validity, the path-and-query part and percent decoding.
#include "tools.h"
#include "tools_p.h"

#include <QUrl>

#include <cstring>

using tools_p::emptyText;

namespace {

const QString httpPrefix = QStringLiteral("http://");
const QString rtmpPrefix = QStringLiteral("rtmp://");
const QString rtmpePrefix = QStringLiteral("rtmpe://");

// Value of each hexadecimal digit (either case) by code, -1 for every other code below 128.
struct HexDigits
{
    signed char value[128];
    constexpr HexDigits() : value()
    {
        for (int i = 0; i < 128; ++i)
            value[i] = -1;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<signed char>(10 + i);
            value['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexDigits hexDigits;

inline int hexDigitValue(char16_t ch)
{
    return ch < 128 ? hexDigits.value[ch] : -1;
}

} // namespace

bool isHttpUrl(QString url)
{
    return url.startsWith(httpPrefix, Qt::CaseSensitive);
}

bool isRtmpUrl(QString url)
{
    return url.startsWith(rtmpPrefix, Qt::CaseSensitive)
            || url.startsWith(rtmpePrefix, Qt::CaseSensitive);
}

bool isValidUrl(QString url, bool allowRtmp)
{
    if (isHttpUrl(url))
        return QUrl(url).isValid();
    if (!allowRtmp || !isRtmpUrl(url))
        return false;
    // QUrl has no notion of the streaming scheme; its http form carries the same syntax.
    return QUrl(url.replace(rtmpPrefix, httpPrefix, Qt::CaseSensitive)).isValid();
}

QString urlPathAndQuery(const QUrl &url)
{
    // The encoded path is taken as it is: decoding it and parsing it again would turn an
    // escaped "?" or "#" into a delimiter and an escaped "%" into a new escape.
    QString result = url.path(QUrl::FullyEncoded);
    // Only a real query counts: a "?" inside a fragment is not the start of one. The query
    // and fragment appear as toString() shows them; "?" before them is always encoded.
    if (url.hasQuery()) {
        const QString text = url.toString();
        const int queryStart = text.indexOf(QLatin1Char('?'));
        if (queryStart >= 0)
            result += text.mid(queryStart);
    }
    return result.isEmpty() ? emptyText() : result;
}

QString decodeUrl(QString url)
{
    if (url.isEmpty())
        return emptyText();
    const int firstPercent = url.indexOf(QLatin1Char('%'));
    if (firstPercent < 0)
        return url;
    const int firstQuestion = url.indexOf(QLatin1Char('?'));
    if (firstQuestion >= 0 && firstQuestion < firstPercent)
        return url;

    // One pass: what an escape yields is never read again, so "%2541" is "%41", not "A".
    const int size = url.size();
    const char16_t *in = reinterpret_cast<const char16_t *>(url.constData());
    QString result(size, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(result.data());
    std::memcpy(out, in, size_t(firstPercent) * sizeof(char16_t));
    int written = firstPercent;
    for (int i = firstPercent; i < size; ++i) {
        const char16_t ch = in[i];
        if (ch == u'%' && i + 2 < size) {
            const int high = hexDigitValue(in[i + 1]);
            const int low = high < 0 ? -1 : hexDigitValue(in[i + 2]);
            if (low >= 0) {
                out[written++] = char16_t(high * 16 + low);
                i += 2;
                continue;
            }
        }
        // Anything else, a malformed escape included, is copied as it is.
        out[written++] = ch;
    }
    result.truncate(written);
    return result;
}
