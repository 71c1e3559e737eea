// Version strings: stage letters and words, and the two comparisons.
#include "tools.h"
#include "tools_p.h"

#include <QStringView>

#include <algorithm>
#include <iterator>

using tools_p::emptyText;

namespace {

const int noStageRank = 4;

// Rank of a stage letter as written inside a version ("1.0b"), 0 for any other character.
// Only lower case counts: "1.0B" carries no stage.
int stageLetterRank(QChar ch)
{
    switch (ch.unicode()) {
    case 'a': return 1;
    case 'b': return 2;
    case 'f': return 3;
    default: return 0;
    }
}

// getStageRank without its copies: ASCII words (all real ones) are matched in place, since
// lower-casing ASCII only ever changes A-Z; anything else goes the long way.
int wordRank(QStringView word)
{
    for (const QChar ch : word) {
        if (ch.unicode() >= 0x80)
            return getStageRank(word.toString());
    }
    static const struct {
        const char *name;
        int rank;
    } stages[] = {{"alpha", 1}, {"a", 1}, {"beta", 2}, {"b", 2}, {"final", 3}, {"f", 3}};
    for (const auto &stage : stages) {
        if (word.compare(QLatin1String(stage.name), Qt::CaseInsensitive) == 0)
            return stage.rank;
    }
    return noStageRank;
}

struct ParsedVersion {
    QStringView numbers; // the "."-separated numeric components
    int stageRank;
};

// Splits a version (commas already turned into dots) into its numbers and its stage.
// The word after the first space is taken before any letter is looked at: expanding the
// letters of the whole text first would turn "1.0 Beta" into the unknown stage "Bet" and
// rank a beta like the release. Letters are looked for in the part before the space only.
ParsedVersion parseVersion(QStringView text)
{
    QStringView numbers = text;
    QStringView word;
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space >= 0) {
        numbers = text.left(space);
        const qsizetype next = text.indexOf(QLatin1Char(' '), space + 1);
        const qsizetype end = next < 0 ? text.size() : next;
        word = text.mid(space + 1, end - space - 1);
    }
    // An empty word (a trailing space) is no stage, so a stage letter may still speak.
    int rank = word.isEmpty() ? noStageRank : wordRank(word);

    for (qsizetype i = 0; i < numbers.size(); ++i) {
        const int letterRank = stageLetterRank(numbers.at(i));
        if (letterRank == 0)
            continue;
        if (word.isEmpty()) {
            // Spelled out, the stage runs up to the next stage letter; anything else after
            // the letter ("1.0b2" -> "Beta2") makes a word that no rank knows.
            const bool bare = i + 1 == numbers.size() || stageLetterRank(numbers.at(i + 1)) != 0;
            rank = bare ? letterRank : noStageRank;
        }
        numbers = numbers.left(i);
        break;
    }
    return {numbers, rank};
}

// Reads the "."-separated component starting at `pos` and moves `pos` past it; once every
// component has been read `pos` is beyond the end and further components read as 0.
int nextComponent(QStringView text, qsizetype &pos)
{
    if (pos > text.size())
        return 0;
    const qsizetype dot = text.indexOf(QLatin1Char('.'), pos);
    const qsizetype end = dot < 0 ? text.size() : dot;
    const QStringView token = text.mid(pos, end - pos);
    pos = end + 1;
    // Plain digits short enough not to overflow are read here; signs, spaces, letters and
    // long numbers are left to toInt, whose rules (0 when out of range) they follow.
    if (token.size() <= 9) {
        int value = 0;
        for (const QChar ch : token) {
            const char16_t digit = ch.unicode() - u'0';
            if (digit > 9)
                return token.toInt();
            value = value * 10 + digit;
        }
        return value;
    }
    return token.toInt();
}

} // namespace

QString expandStageLetters(QString version)
{
    // One pass to size the result and one to write it: replace() moves the rest of the text
    // for every letter, which is quadratic. Spelling each letter out where it stands gives
    // what replacing "a", then "b", then "f" gives: " Beta" and " Final" bring an "a" only
    // after the "a" step is done, and no word brings a "b" or an "f".
    static constexpr char16_t alpha[] = u" Alpha";
    static constexpr char16_t beta[] = u" Beta";
    static constexpr char16_t final[] = u" Final";
    constexpr qsizetype alphaSize = std::size(alpha) - 1;
    constexpr qsizetype betaSize = std::size(beta) - 1;
    constexpr qsizetype finalSize = std::size(final) - 1;

    const char16_t *const begin = reinterpret_cast<const char16_t *>(version.constData());
    const char16_t *const end = begin + version.size();
    qint64 size = version.size();
    for (const char16_t *p = begin; p != end; ++p) {
        switch (*p) {
        case u'a': size += alphaSize - 1; break;
        case u'b': size += betaSize - 1; break;
        case u'f': size += finalSize - 1; break;
        default: break;
        }
    }
    if (size == version.size())
        return version.isNull() ? emptyText() : version;

    QString result = tools_p::uninitializedText(size);
    char16_t *out = reinterpret_cast<char16_t *>(result.data());
    for (const char16_t *p = begin; p != end; ++p) {
        switch (*p) {
        case u'a': out = std::copy(alpha, alpha + alphaSize, out); break;
        case u'b': out = std::copy(beta, beta + betaSize, out); break;
        case u'f': out = std::copy(final, final + finalSize, out); break;
        default: *out++ = *p; break;
        }
    }
    return result;
}

int getStageRank(QString stage)
{
    const QString lower = stage.toLower();
    if (lower == QLatin1String("alpha") || lower == QLatin1String("a"))
        return 1;
    if (lower == QLatin1String("beta") || lower == QLatin1String("b"))
        return 2;
    if (lower == QLatin1String("final") || lower == QLatin1String("f"))
        return 3;
    return noStageRank;
}

int compareVersions(QString first, QString second)
{
    if (first == second)
        return 0;
    // "," stands for "."; the check spares the copy for the usual dotted versions.
    if (first.contains(QLatin1Char(',')))
        first.replace(QLatin1Char(','), QLatin1Char('.'));
    if (second.contains(QLatin1Char(',')))
        second.replace(QLatin1Char(','), QLatin1Char('.'));

    const ParsedVersion a = parseVersion(first);
    const ParsedVersion b = parseVersion(second);

    // A missing component counts 0, so walking on until both are used up compares as many
    // components as the longer version has.
    qsizetype posA = 0;
    qsizetype posB = 0;
    while (posA <= a.numbers.size() || posB <= b.numbers.size()) {
        const int x = nextComponent(a.numbers, posA);
        const int y = nextComponent(b.numbers, posB);
        if (x > y)
            return -1;
        if (x < y)
            return 1;
    }
    if (a.stageRank < b.stageRank)
        return 1;
    if (a.stageRank > b.stageRank)
        return -1;
    return 0;
}

bool isNewerVersion(QString candidate, QString reference)
{
    const QStringView c(candidate);
    const QStringView r(reference);
    qsizetype posC = 0;
    qsizetype posR = 0;
    // Only four components count; anything after the fourth "." is ignored.
    for (int i = 0; i < 4; ++i) {
        const int x = nextComponent(c, posC);
        const int y = nextComponent(r, posR);
        if (x != y)
            return x > y;
    }
    return false;
}
