// Internal helpers shared by the library's sources; not installed.
#ifndef QUILLMOOR_TOOLS_P_H
#define QUILLMOOR_TOOLS_P_H

#include <QString>

#include <limits>

namespace tools_p {

// Empty results are empty but never null strings: callers may test isNull() to tell
// "not given" from "given and empty".
inline QString emptyText() { return QStringLiteral(""); }

// A length for QString. One it cannot hold (more than an int on Qt 5) fails the way QString
// itself fails to grow, with qBadAlloc, instead of wrapping around to a short buffer.
using TextSize = decltype(QString().size());
inline TextSize textSize(qint64 size)
{
    if (size > qint64(std::numeric_limits<TextSize>::max()))
        qBadAlloc();
    return TextSize(size);
}

// A string of `size` units for the caller to fill.
inline QString uninitializedText(qint64 size)
{
    return QString(textSize(size), Qt::Uninitialized);
}

} // namespace tools_p

#endif
