// Version strings: stage letters and words, and the two comparisons.
#include "tools.h"
#include "tools_p.h"

#include <QStringView>

#include <algorithm>
#include <iterator>
#include <string_view>

using tools_p::emptyText;

namespace {

// The release stages, earliest first: the lower-case letter that marks one inside a version
// ("1.0b") and the word it is spelled out as ("1.0 beta", matched in any case). A stage's
// rank is its place here counted from 1; a version without a known stage ranks after all.
struct Stage {
    char16_t letter;
    std::u16string_view word; // lower case
};
constexpr Stage stages[] = {{u'a', u"alpha"}, {u'b', u"beta"}, {u'f', u"final"}};
constexpr int noStageRank = int(std::size(stages)) + 1;

// The stage that `letter` marks inside a version, or null. Only lower case counts: "1.0B"
// carries no stage.
const Stage *stageOfLetter(char16_t letter)
{
    for (const Stage &stage : stages) {
        if (stage.letter == letter)
            return &stage;
    }
    return nullptr;
}

int rankOf(const Stage &stage)
{
    return int(&stage - stages) + 1;
}

// Rank of a stage letter as written inside a version, 0 for any other character.
int stageLetterRank(QChar ch)
{
    const Stage *stage = stageOfLetter(ch.unicode());
    return stage ? rankOf(*stage) : 0;
}

// Rank of `text` as a stage word or letter, compared with `cs`.
int stageRank(QStringView text, Qt::CaseSensitivity cs)
{
    for (const Stage &stage : stages) {
        if (text.compare(QStringView(stage.word.data(), stage.word.size()), cs) == 0
            || text.compare(QStringView(&stage.letter, 1), cs) == 0) {
            return rankOf(stage);
        }
    }
    return noStageRank;
}

// getStageRank without its copies: ASCII words (all real ones) are matched in place, since
// lower-casing ASCII only ever changes A-Z; anything else goes the long way.
int wordRank(QStringView word)
{
    for (const QChar ch : word) {
        if (ch.unicode() >= 0x80)
            return getStageRank(word.toString());
    }
    return stageRank(word, Qt::CaseInsensitive);
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
    const char16_t *const begin = reinterpret_cast<const char16_t *>(version.constData());
    const char16_t *const end = begin + version.size();
    qint64 size = version.size();
    for (const char16_t *p = begin; p != end; ++p) {
        // The letter becomes a space and the word.
        if (const Stage *stage = stageOfLetter(*p))
            size += qint64(stage->word.size());
    }
    if (size == version.size())
        return version.isNull() ? emptyText() : version;

    QString result = tools_p::uninitializedText(size);
    char16_t *out = reinterpret_cast<char16_t *>(result.data());
    for (const char16_t *p = begin; p != end; ++p) {
        const Stage *stage = stageOfLetter(*p);
        if (!stage) {
            *out++ = *p;
            continue;
        }
        *out++ = u' ';
        *out++ = char16_t(stage->word.front() - u'a' + u'A'); // " Beta": capitalised
        out = std::copy(stage->word.begin() + 1, stage->word.end(), out);
    }
    return result;
}

int getStageRank(QString stage)
{
    return stageRank(stage.toLower(), Qt::CaseSensitive);
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
