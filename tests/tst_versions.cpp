#include "tools.h"

#include <QStringList>
#include <QtTest>

class TestVersions : public QObject
{
    Q_OBJECT

private slots:
    void expandStageLetters_data();
    void expandStageLetters();
    void getStageRank_data();
    void getStageRank();
    void compareVersions_data();
    void compareVersions();
    void compareVersionsMatchesTokenReading();
    void isNewerVersion_data();
    void isNewerVersion();
};

void TestVersions::expandStageLetters_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");

    QTest::newRow("beta letter") << "1.0b" << "1.0 Beta";
    QTest::newRow("final letter") << "2.1f" << "2.1 Final";
    QTest::newRow("no letter") << "1.0" << "1.0";
    QTest::newRow("every letter, a first") << "1.0ab" << "1.0 Alpha Beta";
    QTest::newRow("upper case left alone") << "1.0ABF" << "1.0ABF";
    // The "a" of " Beta" and " Final" is not expanded again.
    QTest::newRow("word mangled") << "1.0 beta" << "1.0  Betaet Alpha";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("null") << QString() << "";
    QTest::newRow("only letters") << "abfabf" << " Alpha Beta Final Alpha Beta Final";
    QTest::newRow("letters at both ends") << "f1.0a" << " Final1.0 Alpha";
    QTest::newRow("next to non-ASCII") << QStringLiteral("\u00e9b\u00e9")
                                       << QStringLiteral("\u00e9 Beta\u00e9");
}

void TestVersions::expandStageLetters()
{
    QFETCH(QString, version);
    QFETCH(QString, expected);
    const QString actual = ::expandStageLetters(version);
    QCOMPARE(actual, expected);
    QVERIFY(!actual.isNull());
}

void TestVersions::getStageRank_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<int>("rank");

    QTest::newRow("Alpha") << "Alpha" << 1;
    QTest::newRow("ALPHA") << "ALPHA" << 1;
    QTest::newRow("a") << "a" << 1;
    QTest::newRow("B") << "B" << 2;
    QTest::newRow("beta") << "beta" << 2;
    QTest::newRow("Final") << "Final" << 3;
    QTest::newRow("F") << "F" << 3;
    QTest::newRow("rc") << "rc" << 4;
    QTest::newRow("prefix only") << "Bet" << 4;
    QTest::newRow("longer word") << "Beta2" << 4;
    QTest::newRow("empty") << "" << 4;
    QTest::newRow("null") << QString() << 4;
}

void TestVersions::getStageRank()
{
    QFETCH(QString, stage);
    QFETCH(int, rank);
    QCOMPARE(::getStageRank(stage), rank);
}

void TestVersions::compareVersions_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("result");

    QTest::newRow("identical") << "1.2" << "1.2" << 0;
    QTest::newRow("second newer") << "1.2" << "1.3" << 1;
    QTest::newRow("first newer") << "1.3" << "1.2" << -1;
    QTest::newRow("numbers, not text") << "1.10" << "1.9" << -1;
    QTest::newRow("leading zero") << "01.2" << "1.2" << 0;
    QTest::newRow("missing component is 0") << "1.2" << "1.2.0" << 0;
    QTest::newRow("longer sets the count") << "1" << "1.0.1" << 1;
    QTest::newRow("extra component") << "1.2.1" << "1.2" << -1;
    QTest::newRow("comma reads as dot") << "1,5" << "1.5" << 0;
    QTest::newRow("comma component") << "1,10" << "1.9" << -1;
    QTest::newRow("alpha < beta") << "1.0a" << "1.0b" << 1;
    QTest::newRow("beta < final") << "1.0b" << "1.0f" << 1;
    QTest::newRow("final < no stage") << "1.0f" << "1.0" << 1;
    QTest::newRow("no stage > final") << "1.0" << "1.0f" << -1;
    QTest::newRow("numbers before stage") << "1.2b" << "1.2.1" << 1;
    QTest::newRow("alpha of newer number") << "2.0a" << "1.9" << -1;
    QTest::newRow("upper-case words") << "1.0 FINAL" << "1.0 ALPHA" << -1;
    QTest::newRow("word and letter alike") << "1.0 BETA" << "1.0b" << 0;
    QTest::newRow("unknown word") << "1.0 rc" << "1.0" << 0;
    QTest::newRow("letter with suffix") << "1.0b2" << "1.0" << 0;
    QTest::newRow("non-numeric component") << "1.x" << "1.0" << 0;
    QTest::newRow("empty version") << "" << "1" << 1;
    QTest::newRow("both empty-ish") << "" << "0.0" << 0;
    QTest::newRow("leading space") << " 1.0" << "1.0" << 1;
    QTest::newRow("trailing space") << "1.0 " << "1.0" << 0;
    QTest::newRow("out of int range is 0") << "1.99999999999" << "1.0" << 0;
    // Word stages count whatever their case; lower-case letters in them are not expanded.
    QTest::newRow("mixed-case word older than release") << "1.0 Beta" << "1.0" << 1;
    QTest::newRow("lower-case word like letter") << "1.0 beta" << "1.0b" << 0;
    QTest::newRow("lower-case words ranked") << "1.0 alpha" << "1.0 final" << 1;
    QTest::newRow("word with comma version") << "1,0 beta" << "1.0b" << 0;
    QTest::newRow("word beats letter") << "1.0b final" << "1.0f" << 0;
    QTest::newRow("only the first word") << "1.0 beta 2" << "1.0b" << 0;
    QTest::newRow("trailing space keeps letter") << "1.0b " << "1.0b" << 0;
    QTest::newRow("first of several letters") << "1.0ab" << "1.0a" << 0;
    QTest::newRow("letter cuts the numbers") << "1.0b.5" << "1.0" << 0;
}

void TestVersions::compareVersions()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, result);
    QCOMPARE(::compareVersions(first, second), result);
    QCOMPARE(::compareVersions(second, first), -result);
}

// The stage handling in one sentence, spelled out with the text helpers: the word between
// the first two spaces, the letters expanded in the part before the first space only.
static int compareByTokens(QString first, QString second)
{
    if (first == second)
        return 0;
    QString numbers[2] = {first.replace(',', '.'), second.replace(',', '.')};
    const int count = qMax(getTokenCount(numbers[0], "."), getTokenCount(numbers[1], "."));
    int rank[2];
    for (int v = 0; v < 2; ++v) {
        QString word;
        if (getTokenCount(numbers[v], " ") > 1) {
            word = getToken(numbers[v], " ", 1);
            numbers[v] = getToken(numbers[v], " ", 0);
        }
        const QString expanded = ::expandStageLetters(numbers[v]);
        QString letter;
        if (getTokenCount(expanded, " ") > 1) {
            letter = getToken(expanded, " ", 1);
            numbers[v] = getToken(expanded, " ", 0);
        }
        rank[v] = ::getStageRank(word.isEmpty() ? letter : word);
    }
    for (int i = 0; i < count; ++i) {
        const int x = getToken(numbers[0], ".", i).toInt();
        const int y = getToken(numbers[1], ".", i).toInt();
        if (x != y)
            return x > y ? -1 : 1;
    }
    return rank[0] < rank[1] ? 1 : rank[0] > rank[1] ? -1 : 0;
}

void TestVersions::compareVersionsMatchesTokenReading()
{
    const QStringList pieces = {"",   "1",  "01", "1.2", "1,2", "10", ".",     "x",
                                "a",  "b",  "f",  "ab",  "b2",  "B",  " ",     " beta",
                                " BETA", " rc", " Final", " a b", "  ", "b.3", "-1",
                                "+1", "2147483648", "0000000012", " \u00e9", " ALPHa"};
    QStringList versions;
    for (const QString &p : pieces)
        for (const QString &q : pieces)
            versions << p + q;
    int mismatches = 0;
    for (const QString &a : versions) {
        for (const QString &b : versions) {
            const int expected = compareByTokens(a, b);
            const int actual = ::compareVersions(a, b);
            if (actual != expected && ++mismatches <= 5)
                qWarning("\"%s\" vs \"%s\": %d, token reading %d", qPrintable(a),
                         qPrintable(b), actual, expected);
        }
    }
    QCOMPARE(mismatches, 0);
}

void TestVersions::isNewerVersion_data()
{
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<bool>("newer");

    QTest::newRow("major") << "2.0" << "1.5" << true;
    QTest::newRow("major older") << "1.5" << "2.0" << false;
    QTest::newRow("numbers, not text") << "10.0" << "9.9" << true;
    QTest::newRow("fourth component") << "1.2.3.5" << "1.2.3.4" << true;
    QTest::newRow("same") << "1.2.3.4" << "1.2.3.4" << false;
    QTest::newRow("missing are 0") << "1.2" << "1.2.0.0" << false;
    QTest::newRow("extra component") << "1.2.1" << "1.2" << true;
    QTest::newRow("fifth ignored") << "1.2.3.4.9" << "1.2.3.4" << false;
    QTest::newRow("empty component") << "1..3" << "1.0.2" << true;
    QTest::newRow("empty") << "" << "0" << false;
    QTest::newRow("letter spoils component") << "1.5b" << "1.1" << false;
    QTest::newRow("out of int range is 0") << "2147483648" << "1" << false;
    QTest::newRow("int max") << "2147483647" << "2147483646" << true;
    // No comma here: "1,5" is one component that does not read as a number.
    QTest::newRow("comma not a separator") << "1,5" << "1.0" << false;
}

void TestVersions::isNewerVersion()
{
    QFETCH(QString, candidate);
    QFETCH(QString, reference);
    QFETCH(bool, newer);
    QCOMPARE(::isNewerVersion(candidate, reference), newer);
}

QTEST_APPLESS_MAIN(TestVersions)
#include "tst_versions.moc"
