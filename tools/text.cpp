// Text tokens, substrings, padding and whitespace.
#include "tools.h"
#include "tools_p.h"

#include <QStringList>

#include <algorithm>

using tools_p::emptyText;

QString subString(QString text, int from, int to)
{
    if (to > text.size())
        to = text.size();
    if (to < 0 || from >= to)
        return emptyText();
    if (from < 0)
        from = 0;
    // mid() of a null text is null even where the range is valid ("", -1, 0).
    const QString part = text.mid(from, to - from);
    return part.isEmpty() ? emptyText() : part;
}

QString getToken(QString text, QString separator, int index)
{
    if (index < 0)
        return emptyText();
    if (separator.isEmpty()) {
        // Only the empty pattern needs QString::split's own rules; nobody passes one.
        const QStringList tokens = text.split(separator, Qt::KeepEmptyParts);
        return index < tokens.size() && !tokens.at(index).isEmpty() ? tokens.at(index)
                                                                    : emptyText();
    }
    // Walk to the token instead of splitting the whole text.
    int start = 0;
    for (int i = 0; i < index; ++i) {
        const int found = text.indexOf(separator, start, Qt::CaseSensitive);
        if (found < 0)
            return emptyText();
        start = found + separator.size();
    }
    int end = text.indexOf(separator, start, Qt::CaseSensitive);
    if (end < 0)
        end = text.size();
    return end > start ? text.mid(start, end - start) : emptyText();
}

int getTokenCount(QString text, QString separator)
{
    if (separator.isEmpty())
        return text.split(separator, Qt::KeepEmptyParts).size();
    // QString::count would also count overlapping matches; a split never overlaps.
    int count = 1;
    for (int found = text.indexOf(separator, 0, Qt::CaseSensitive); found >= 0;
         found = text.indexOf(separator, found + separator.size(), Qt::CaseSensitive))
        ++count;
    return count;
}

QString zeroPad(int value, int width)
{
    // Padding carries no information, and a width taken from bad data (INT_MAX) would ask
    // for gigabytes of zeros; no field is ever that wide.
    const int maxWidth = 4096;
    width = std::min(width, maxWidth);
    const QString digits = QString::number(value);
    if (digits.size() >= width)
        return digits;
    QString result(width, QLatin1Char('0'));
    std::copy(digits.cbegin(), digits.cend(), result.end() - digits.size());
    return result;
}

QString collapseWhitespace(QString text)
{
    const QString trimmed = text.trimmed();
    QString result = emptyText();
    result.reserve(trimmed.size());
    bool inRun = false;
    for (const QChar ch : trimmed) {
        if (ch.isSpace()) {
            if (!inRun)
                result.append(ch);
            inRun = true;
        } else {
            result.append(ch);
            inRun = false;
        }
    }
    return result;
}

QString getTextBetween(QString text, QString startMarker, QString endMarker)
{
    const int start = text.indexOf(startMarker, 0, Qt::CaseSensitive);
    if (start < 0)
        return emptyText();
    const int contentStart = start + startMarker.size();
    // The search starts one past the marker's end, so a result is never empty.
    const int end = text.indexOf(endMarker, contentStart + 1, Qt::CaseSensitive);
    if (end < 0)
        return emptyText();
    return subString(text, contentStart, end);
}
