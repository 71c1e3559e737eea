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
// `value` in decimal, left-filled with '0' to `width` characters (at most 4096); never cut.
QString zeroPad(int value, int width);
// `text` trimmed, each inner whitespace run reduced to its first character.
QString collapseWhitespace(QString text);
// The text between the first `startMarker` and the next `endMarker` found from one
// character past the start marker's end; "" when either is missing.
QString getTextBetween(QString text, QString startMarker, QString endMarker);

// ---- HTML entities -----------------------------------------------------------------------

// The HTML entities known by name, each "&#<code>;=&<name>;": quot, amp, lt, gt at indexes
// 0-3, then U+00A0 to U+00FF at index code - 156. One table shared by every includer.
inline const QString htmlEntityTable[100] = {
    QStringLiteral("&#34;=&quot;"), QStringLiteral("&#38;=&amp;"), QStringLiteral("&#60;=&lt;"),
    QStringLiteral("&#62;=&gt;"), QStringLiteral("&#160;=&nbsp;"),
    QStringLiteral("&#161;=&iexcl;"), QStringLiteral("&#162;=&cent;"),
    QStringLiteral("&#163;=&pound;"), QStringLiteral("&#164;=&curren;"),
    QStringLiteral("&#165;=&yen;"), QStringLiteral("&#166;=&brvbar;"),
    QStringLiteral("&#167;=&sect;"), QStringLiteral("&#168;=&uml;"),
    QStringLiteral("&#169;=&copy;"), QStringLiteral("&#170;=&ordf;"),
    QStringLiteral("&#171;=&laquo;"), QStringLiteral("&#172;=&not;"),
    QStringLiteral("&#173;=&shy;"), QStringLiteral("&#174;=&reg;"),
    QStringLiteral("&#175;=&macr;"), QStringLiteral("&#176;=&deg;"),
    QStringLiteral("&#177;=&plusmn;"), QStringLiteral("&#178;=&sup2;"),
    QStringLiteral("&#179;=&sup3;"), QStringLiteral("&#180;=&acute;"),
    QStringLiteral("&#181;=&micro;"), QStringLiteral("&#182;=&para;"),
    QStringLiteral("&#183;=&middot;"), QStringLiteral("&#184;=&cedil;"),
    QStringLiteral("&#185;=&sup1;"), QStringLiteral("&#186;=&ordm;"),
    QStringLiteral("&#187;=&raquo;"), QStringLiteral("&#188;=&frac14;"),
    QStringLiteral("&#189;=&frac12;"), QStringLiteral("&#190;=&frac34;"),
    QStringLiteral("&#191;=&iquest;"), QStringLiteral("&#192;=&Agrave;"),
    QStringLiteral("&#193;=&Aacute;"), QStringLiteral("&#194;=&Acirc;"),
    QStringLiteral("&#195;=&Atilde;"), QStringLiteral("&#196;=&Auml;"),
    QStringLiteral("&#197;=&Aring;"), QStringLiteral("&#198;=&AElig;"),
    QStringLiteral("&#199;=&Ccedil;"), QStringLiteral("&#200;=&Egrave;"),
    QStringLiteral("&#201;=&Eacute;"), QStringLiteral("&#202;=&Ecirc;"),
    QStringLiteral("&#203;=&Euml;"), QStringLiteral("&#204;=&Igrave;"),
    QStringLiteral("&#205;=&Iacute;"), QStringLiteral("&#206;=&Icirc;"),
    QStringLiteral("&#207;=&Iuml;"), QStringLiteral("&#208;=&ETH;"),
    QStringLiteral("&#209;=&Ntilde;"), QStringLiteral("&#210;=&Ograve;"),
    QStringLiteral("&#211;=&Oacute;"), QStringLiteral("&#212;=&Ocirc;"),
    QStringLiteral("&#213;=&Otilde;"), QStringLiteral("&#214;=&Ouml;"),
    QStringLiteral("&#215;=&times;"), QStringLiteral("&#216;=&Oslash;"),
    QStringLiteral("&#217;=&Ugrave;"), QStringLiteral("&#218;=&Uacute;"),
    QStringLiteral("&#219;=&Ucirc;"), QStringLiteral("&#220;=&Uuml;"),
    QStringLiteral("&#221;=&Yacute;"), QStringLiteral("&#222;=&THORN;"),
    QStringLiteral("&#223;=&szlig;"), QStringLiteral("&#224;=&agrave;"),
    QStringLiteral("&#225;=&aacute;"), QStringLiteral("&#226;=&acirc;"),
    QStringLiteral("&#227;=&atilde;"), QStringLiteral("&#228;=&auml;"),
    QStringLiteral("&#229;=&aring;"), QStringLiteral("&#230;=&aelig;"),
    QStringLiteral("&#231;=&ccedil;"), QStringLiteral("&#232;=&egrave;"),
    QStringLiteral("&#233;=&eacute;"), QStringLiteral("&#234;=&ecirc;"),
    QStringLiteral("&#235;=&euml;"), QStringLiteral("&#236;=&igrave;"),
    QStringLiteral("&#237;=&iacute;"), QStringLiteral("&#238;=&icirc;"),
    QStringLiteral("&#239;=&iuml;"), QStringLiteral("&#240;=&eth;"),
    QStringLiteral("&#241;=&ntilde;"), QStringLiteral("&#242;=&ograve;"),
    QStringLiteral("&#243;=&oacute;"), QStringLiteral("&#244;=&ocirc;"),
    QStringLiteral("&#245;=&otilde;"), QStringLiteral("&#246;=&ouml;"),
    QStringLiteral("&#247;=&divide;"), QStringLiteral("&#248;=&oslash;"),
    QStringLiteral("&#249;=&ugrave;"), QStringLiteral("&#250;=&uacute;"),
    QStringLiteral("&#251;=&ucirc;"), QStringLiteral("&#252;=&uuml;"),
    QStringLiteral("&#253;=&yacute;"), QStringLiteral("&#254;=&thorn;"),
    QStringLiteral("&#255;=&yuml;")
};

// The numeric reference ("&#34;") of a named one given whole, case-sensitively ("&quot;");
// "" when the table has no such name.
QString namedToNumericEntity(QString entity);
// The named reference for the decimal number between "#" and ";" ("&#0233;" -> "&eacute;");
// "" when there is no number or the table has no name for it.
QString numericToNamedEntity(QString entity);
// The character of one reference, named or decimal ("&#65;"); a space when it cannot be
// decoded or its number is outside 0 to 65535.
QChar entityToChar(QString entity);
// `text` with every reference ("&", no whitespace or "&", then ";") replaced, in one pass,
// by its character (astral ones as a surrogate pair) or a space; any other "&" is kept.
QString decodeHtmlEntities(QString text);
// `ch` itself when it is printable ASCII other than " & < >; "" for U+0000; otherwise
// "&#<n>;", or with `useNamedEntities` the table's name where it has one.
QString charToEntity(QChar ch, bool useNamedEntities);
// `text` encoded unit by unit with charToEntity, a surrogate pair as one "&#<n>;"; text that
// is UTF-8 read as Latin-1 (all units <= U+00FF, valid UTF-8 bytes) is first read as UTF-8.
QString encodeHtmlEntities(QString text, bool useNamedEntities);

// ---- File names and paths ----------------------------------------------------------------

// The last component of `path` (QFileInfo::fileName); "" when `path` ends in "/".
QString extractFileName(const QString &path);
// The absolute directory holding `path` (a relative path is resolved against the current
// directory); no trailing "/" except for a root.
QString extractFilePath(const QString &path);
// "." and the text after the last "." of the file name ("archive.tar.gz" -> ".gz"); "" when
// there is none or the name ends in ".".
QString extractFileExt(const QString &path);
// Absolute directory, "/", the file name up to its first "." and `newExt` as given:
// "/d/archive.tar.gz", ".zip" -> "/d/archive.zip".
QString changeFileExt(const QString &path, const QString &newExt);
// `path` when nothing exists there, else the first free "dir/base(N).completeSuffix", N from 1
// ("a.tar.gz" -> "a(1).tar.gz", "readme" -> "readme(1)."). Tests names only; reserves nothing.
QString uniqueFileName(const QString &path);
// `name` with each of \ / : * ? " < > | and LF, BEL, FF, CR, TAB, VT replaced by
// `replacement`, inserted literally and not scanned again.
QString cleanFileName(const QString &name, const QString &replacement);
// `path` with every backslash turned into "/"; nothing else changes.
QString toForwardSlashes(QString path);
// Removes `dir` and everything in it, depth first; links, dangling ones too, are removed,
// never followed. Writes each entry's absolute path and "\n" to standard output after trying
// it, stops at the first failure. True when all is gone or `dir` did not exist; hidden
// entries, sockets, FIFOs and devices stay (then false).
bool removeDirTree(QDir &dir);

// ---- URLs --------------------------------------------------------------------------------

// True when `url` begins with "http://" (case-sensitive; "https://" does not).
bool isHttpUrl(QString url);
// True when `url` begins with "rtmp://" or "rtmpe://" (case-sensitive).
bool isRtmpUrl(QString url);
// True for an http URL, or with `allowRtmp` an rtmp/rtmpe URL, that QUrl (tolerant parsing)
// finds valid; an rtmp URL is tested with "rtmp://" replaced by "http://".
bool isValidUrl(QString url, bool allowRtmp);
// The percent-encoded path of `url` followed by "?", its query and any fragment as
// QUrl::toString() shows them: "/media/my%20clip.flv?id=5"; "" when both are empty.
QString urlPathAndQuery(const QUrl &url);
// Each "%" with two hex digits becomes the one character U+0000..U+00FF of that byte (no
// UTF-8 joining), in one pass; any other "%" stays. Nothing is decoded when the first "?"
// comes before the first "%".
QString decodeUrl(QString url);

// ---- Opening local files -----------------------------------------------------------------

// Opens the file or directory at `path` (backslashes or "/") with the desktop's default
// action through a file URL naming exactly that path; false when refused or `path` is empty.
bool openLocalFile(QString path);
// The same as openLocalFile(path).
bool openInShell(QString path);

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
// `precision` decimals: 1536.5, 2 -> "1,536.50" in US English. `precision` is taken within
// 0 to 149, which holds every exact digit a float has.
QString floatToString(float value, int precision);
// A byte count in " bytes", " KB", " MB" or " GB" (steps of 1024; a value of exactly 1024
// stays in the smaller unit; larger counts stay in GB), always with two decimals: "1.50 KB".
QString formatSize(qint64 bytes);
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
