// The tools library: free functions over Qt strings, file names and URLs, and the
// platform's shell launch. Every function is stateless and may be called from any thread
// unless its comment says otherwise. No function throws: failures are false, an empty
// (never null) string or the documented fallback.
#ifndef QUILLMOOR_TOOLS_H
#define QUILLMOOR_TOOLS_H

#include <QString>

class QDialog;
class QDir;
class QUrl;

// ---- Text tokens and substrings ----------------------------------------------------------

// Characters from `from` up to, not including, `to`; `to` is clamped to the length, a
// negative `from` acts as 0, and an empty range (or a negative `to`) gives "".
QString subString(QString text, int from, int to);
// Token `index` (from 0) of `text` split at `separator`, empty tokens kept; "" when out of range.
QString getToken(QString text, QString separator, int index);
// Number of tokens of the same split as getToken; never less than 1.
int getTokenCount(QString text, QString separator);
// `value` in decimal, left-filled with '0' to `width` characters; never cut.
QString zeroPad(int value, int width);
// `text` trimmed, each inner whitespace run reduced to its first character.
QString collapseWhitespace(QString text);
// The text between the first `startMarker` and the next `endMarker` found from one
// character past the start marker's end; "" when either is missing.
QString getTextBetween(QString text, QString startMarker, QString endMarker);

// ---- HTML entities -----------------------------------------------------------------------
// (htmlEntityTable, namedToNumericEntity, numericToNamedEntity, entityToChar,
//  decodeHtmlEntities, charToEntity, encodeHtmlEntities)

// ---- File names and paths ----------------------------------------------------------------

// ---- URLs --------------------------------------------------------------------------------

// ---- Opening local files -----------------------------------------------------------------

// ---- Versions ----------------------------------------------------------------------------

// ---- Number, size and duration formatting ------------------------------------------------

// ---- Shell launch ------------------------------------------------------------------------
// On Windows these are the Win32 types; elsewhere an opaque window pointer and UTF-16 text.
#ifdef _WIN32
struct HWND__;
using ShellWindow = HWND__ *;
using ShellChar = wchar_t;
#else
using ShellWindow = void *;
using ShellChar = char16_t;
#endif

// True when the shell should be asked for elevation: Windows reports version 6.0.
// Always false where there is no Windows shell.
bool isWindowsVista();
// Asks the shell to start or open `file` (zero-terminated UTF-16) with the optional
// `parameters` and working `directory` (null: the current directory). Returns non-zero when
// the request was accepted, 0 when not; never waits for the started program.
int shellExecuteFile(ShellWindow window, const ShellChar *file, const ShellChar *parameters,
                     const ShellChar *directory);

#endif // QUILLMOOR_TOOLS_H
