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

// `version` with every lower-case stage letter spelled out: "a" -> " Alpha", "b" -> " Beta",
// "f" -> " Final", everywhere in the text ("1.0b" -> "1.0 Beta").
QString expandStageLetters(QString version);
// Rank of a release stage, case-insensitive: alpha/a 1, beta/b 2, final/f 3, anything else
// (no stage, or one not recognised) 4.
int getStageRank(QString stage);
// Three-way comparison of "."- (or ",")-separated numeric versions with an optional stage
// letter ("1.0b") or word ("1.0 beta"): 1 when `second` is newer, -1 when `first` is, else 0.
int compareVersions(QString first, QString second);
// True when `candidate` is newer than `reference`, comparing at most four numeric
// components (non-numeric ones count 0) and no stages.
bool isNewerVersion(QString candidate, QString reference);

// ---- Number, size and duration formatting ------------------------------------------------

// `part` / `whole` x 100; 0 when `whole` is zero.
float getPercentage(float part, float whole);
// Runs `dialog` modally (QDialog::exec) and returns its result code; a null dialog gives
// QDialog::Rejected (0). GUI thread only.
int execDialog(QDialog *dialog);
// `value` in the default locale (QLocale()), group separators included, with exactly
// `precision` decimals: 1536.5, 2 -> "1,536.50" in US English.
QString floatToString(float value, int precision);
// A byte count in " bytes", " KB", " MB" or " GB" (steps of 1024; a value of exactly 1024
// stays in the smaller unit), always with two decimals: "1.50 KB".
QString formatSize(int bytes);
// Clock notation "h<sep>mm<sep>ss" ("1:02:05"). Zero hours may be hidden, and zero minutes
// too when the hours are hidden; negative `seconds` count 0 unless `allowNegative`.
QString formatTime(int seconds, QString separator, bool hideZeroHours, bool hideZeroMinutes,
                   bool allowNegative);
// "1h 2m 5s", or in `compact` form "1h2m5s" without the zero parts ("" for 0); negative
// `seconds` count 0 unless `allowNegative`.
QString formatDuration(int seconds, bool compact, bool allowNegative);

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
