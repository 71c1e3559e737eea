// Size and time formatting on arbitrary integers. Beyond not crashing: the parts of a clock
// or unit-letter time add up to the seconds given (negative ones count 0 unless allowed),
// hidden parts are zero, and a size (any 64-bit count) read back in its unit is the byte
// count to within the two decimals shown, in a US English or a German default locale.
#include "fuzz_input.h"
#include "tools.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>

namespace {

qint64 effectiveSeconds(qint32 seconds, bool allowNegative)
{
    return allowNegative || seconds >= 0 ? seconds : 0;
}

// The clock text split at ":" read back into seconds; the number of parts goes to `parts`.
qint64 clockSeconds(const QString &text, int *parts)
{
    const QStringList pieces = text.split(QLatin1Char(':'));
    *parts = int(pieces.size());
    qint64 total = 0;
    for (const QString &piece : pieces)
        total = total * 60 + piece.toLongLong();
    // Hours are not limited to 60: take them apart again.
    if (pieces.size() == 3)
        total = pieces[0].toLongLong() * 3600 + pieces[1].toLongLong() * 60
                + pieces[2].toLongLong();
    return total;
}

qint64 unitSeconds(const QString &text)
{
    static const QRegularExpression part(QStringLiteral("(-?\\d+)([hms])"));
    qint64 total = 0;
    auto it = part.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        const qint64 value = match.captured(1).toLongLong();
        const QChar unit = match.captured(2).at(0);
        total += value * (unit == QLatin1Char('h') ? 3600 : unit == QLatin1Char('m') ? 60 : 1);
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const bool german = size > 0 && (data[0] & 0x40);
    const quint8 flags = size > 0 ? data[0] : 0;
    if (size > 0) {
        ++data;
        --size;
    }
    const qint32 value = fuzz::takeInt(data, size);
    const bool hideHours = flags & 1;
    const bool hideMinutes = flags & 2;
    const bool allowNegative = flags & 4;
    const bool compact = flags & 8;
    const QString number = QString::number(value);

    const qint64 seconds = effectiveSeconds(value, allowNegative);
    int parts = 0;
    const QString clock = formatTime(value, QStringLiteral(":"), hideHours, hideMinutes,
                                     allowNegative);
    FUZZ_CHECK(clockSeconds(clock, &parts) == seconds, number, clock);
    FUZZ_CHECK(parts >= 1 && parts <= 3, number, clock);
    if (!hideHours)
        FUZZ_CHECK(parts == 3, number, clock);
    const QString separated = formatTime(value, QStringLiteral(" - "), hideHours, hideMinutes,
                                         allowNegative);
    FUZZ_CHECK(separated == QString(clock).replace(QLatin1Char(':'), QStringLiteral(" - ")),
               number, clock, separated);

    const QString duration = formatDuration(value, compact, allowNegative);
    FUZZ_CHECK(unitSeconds(duration) == seconds, number, duration);
    if (compact)
        FUZZ_CHECK(duration.isEmpty() == (seconds == 0) && !duration.contains(QLatin1Char(' ')),
                   number, duration);
    else
        FUZZ_CHECK(duration.count(QLatin1Char(' ')) == 2, number, duration);

    // Sizes are 64-bit: four more bytes, when there are, give the high half; without them the
    // size is the time value.
    const qint64 bytes = size >= 4
            ? qint64(quint64(quint32(fuzz::takeInt(data, size))) << 32 | quint32(value))
            : qint64(value);
    const QString byteCount = QString::number(bytes);
    const QLocale locale = german ? QLocale(QLocale::German, QLocale::Germany)
                                  : QLocale(QLocale::English, QLocale::UnitedStates);
    QLocale::setDefault(locale);
    const QString sizeText = formatSize(bytes);
    static const char *const units[] = {" bytes", " KB", " MB", " GB"};
    double scaled = double(bytes);
    int unit = 0;
    while (unit < 3 && scaled > 1024.0) {
        scaled /= 1024.0;
        ++unit;
    }
    FUZZ_CHECK(sizeText.endsWith(QLatin1String(units[unit])), byteCount, sizeText);
    bool ok = false;
    const QString shown = sizeText.left(sizeText.size() - int(std::strlen(units[unit])));
    const double readBack = locale.toDouble(shown, &ok);
    FUZZ_CHECK(ok, byteCount, sizeText);
    // Two decimals shown of a single-precision value.
    const double tolerance = 0.0051 + std::fabs(scaled) * 1.2e-7;
    FUZZ_CHECK(std::fabs(readBack - scaled) <= tolerance, byteCount, sizeText);
    const int decimalPoint = int(shown.lastIndexOf(locale.decimalPoint()));
    FUZZ_CHECK(decimalPoint == shown.size() - 3, byteCount, sizeText);
    return 0;
}
