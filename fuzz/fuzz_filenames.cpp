// File-name helpers on arbitrary names and replacements. Beyond not crashing: cleanFileName
// replaces exactly the 15 characters not allowed in a file name, each by the replacement as
// given, so none is left when the replacement holds none; the extension helpers stay
// consistent with each other. (uniqueFileName and removeDirTree touch the file system and are
// left to the tests.)
#include "fuzz_input.h"
#include "tools.h"

namespace {

bool notAllowed(QChar c)
{
    static const QString set = QStringLiteral("\\/:*?\"<>|\n\a\f\r\t\v");
    return set.contains(c);
}

int countNotAllowed(const QString &text)
{
    int count = 0;
    for (QChar c : text)
        count += notAllowed(c) ? 1 : 0;
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::Input input = fuzz::read(data, size, 2);
    const QString name = input.parts.at(0);
    const QString replacement = input.parts.at(1);

    const QString cleaned = cleanFileName(name, replacement);
    const int bad = countNotAllowed(name);
    FUZZ_CHECK(cleaned.size() == name.size() + qsizetype(bad) * (replacement.size() - 1), name,
               replacement, cleaned);
    if (countNotAllowed(replacement) == 0)
        FUZZ_CHECK(countNotAllowed(cleaned) == 0, name, replacement, cleaned);
    if (bad == 0)
        FUZZ_CHECK(cleaned == name, name, replacement, cleaned);
    if (replacement.isEmpty()) {
        QString kept;
        for (QChar c : name) {
            if (!notAllowed(c))
                kept += c;
        }
        FUZZ_CHECK(cleaned == kept, name, cleaned);
    }

    const QString slashes = toForwardSlashes(name);
    FUZZ_CHECK(slashes.size() == name.size() && !slashes.contains(QLatin1Char('\\')), name,
               slashes);

    const QString fileName = extractFileName(name);
    const QString ext = extractFileExt(name);
    FUZZ_CHECK(ext.isEmpty() || (ext.startsWith(QLatin1Char('.')) && fileName.endsWith(ext)),
               name, fileName, ext);
    const QString changed = changeFileExt(name, replacement);
    FUZZ_CHECK(changed.endsWith(replacement), name, replacement, changed);
    return 0;
}
