// Internal helpers shared by the library's sources; not installed.
#ifndef QUILLMOOR_TOOLS_P_H
#define QUILLMOOR_TOOLS_P_H

#include <QString>

#include <limits>

namespace tools_p {

// Empty results are empty but never null strings: callers may test isNull() to tell
// "not given" from "given and empty".
inline QString emptyText() { return QStringLiteral(""); }

// A string of `size` units for the caller to fill. A size QString cannot hold (more than an
// int on Qt 5) fails the way QString itself fails to grow, with qBadAlloc, instead of
// wrapping around to a short buffer.
inline QString uninitializedText(qint64 size)
{
    using Size = decltype(QString().size());
    if (size > qint64(std::numeric_limits<Size>::max()))
        qBadAlloc();
    return QString(Size(size), Qt::Uninitialized);
}

} // namespace tools_p

#endif
