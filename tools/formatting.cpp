// Numbers, sizes and durations as text for the user, and the modal dialog wrapper.
#include "tools.h"
#include "tools_p.h"

#include <QDialog>
#include <QLocale>

#include <algorithm>

using tools_p::emptyText;

namespace {

const float percentFactor = 100.0f;
const float unitThreshold = 1024.0f;
const float unitStep = 0.0009765625f; // 1/1024, exact in binary

struct TimeParts {
    int hours;
    int minutes;
    int seconds;
};

// C++ division truncates toward zero and the remainder takes the dividend's sign, so a
// negative time gives negative parts ("-1:-2:-5").
TimeParts splitTime(int seconds, bool allowNegative)
{
    if (!allowNegative && seconds < 0)
        seconds = 0;
    return {seconds / 3600, (seconds / 60) % 60, seconds % 60};
}

} // namespace

float getPercentage(float part, float whole)
{
    if (whole == 0.0f) // also true for -0
        return 0.0f;
    return part / whole * percentFactor;
}

int execDialog(QDialog *dialog)
{
    // A missing dialog reads as one the user cancelled rather than a crash.
    if (!dialog)
        return QDialog::Rejected;
    return dialog->exec();
}

QString floatToString(float value, int precision)
{
    // Every float is a multiple of 2^-149, so its exact decimal expansion ends within 149
    // decimals; more would only add zeros, and a count near INT_MAX overflows Qt's buffer.
    // Fewer than no decimals is none (Qt would read a negative count as 6, or as "shortest").
    const int maxPrecision = 149;
    return QLocale().toString(double(value), 'f', std::clamp(precision, 0, maxPrecision));
}

QString formatSize(qint64 bytes)
{
    // Scaled and compared in double; only the shown value is rounded to float. Beyond 1024 GB
    // the value stays in GB.
    double value = double(bytes);
    if (value <= unitThreshold)
        return floatToString(float(value), 2) + QStringLiteral(" bytes");
    value *= unitStep;
    if (value <= unitThreshold)
        return floatToString(float(value), 2) + QStringLiteral(" KB");
    value *= unitStep;
    if (value <= unitThreshold)
        return floatToString(float(value), 2) + QStringLiteral(" MB");
    value *= unitStep;
    return floatToString(float(value), 2) + QStringLiteral(" GB");
}

QString formatTime(int seconds, QString separator, bool hideZeroHours, bool hideZeroMinutes,
                   bool allowNegative)
{
    const TimeParts t = splitTime(seconds, allowNegative);
    // The separator is appended, never run through arg(): a "%1" in it stays as written.
    QString result = emptyText();
    if (!(hideZeroHours && t.hours == 0))
        result = QString::number(t.hours) + separator;
    // Minutes are only dropped along with the hours: "1:00:05" keeps its "00".
    if (!(hideZeroMinutes && t.minutes == 0 && result.isEmpty()))
        result += zeroPad(t.minutes, 2) + separator;
    result += zeroPad(t.seconds, 2);
    return result;
}

QString formatDuration(int seconds, bool compact, bool allowNegative)
{
    const TimeParts t = splitTime(seconds, allowNegative);
    if (!compact)
        return QStringLiteral("%1h %2m %3s").arg(t.hours).arg(t.minutes).arg(t.seconds);
    QString result = emptyText();
    if (t.hours != 0)
        result = QStringLiteral("%1h").arg(t.hours);
    if (t.minutes != 0)
        result += QStringLiteral("%1m").arg(t.minutes);
    if (t.seconds != 0)
        result += QStringLiteral("%1s").arg(t.seconds);
    return result;
}
