// Internal helpers shared by the library's sources; not installed.
#ifndef QUILLMOOR_TOOLS_P_H
#define QUILLMOOR_TOOLS_P_H

#include <QString>

namespace tools_p {

// Empty results are empty but never null strings: callers may test isNull() to tell
// "not given" from "given and empty".
inline QString emptyText() { return QStringLiteral(""); }

} // namespace tools_p

#endif
