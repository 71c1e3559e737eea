// Text tokens, substrings, padding and whitespace.
#include "tools.h"

#include <QStringList>
#include <QtTest>

#include <climits>

class TstText : public QObject
{
    Q_OBJECT

private slots:
    void subStringCuts_data();
    void subStringCuts();
    void tokensFollowSplit_data();
    void tokensFollowSplit();
    void zeroPadFills_data();
    void zeroPadFills();
    void collapseWhitespaceRuns_data();
    void collapseWhitespaceRuns();
    void getTextBetweenMarkers_data();
    void getTextBetweenMarkers();
};

// Every empty result is an empty string that is not null.
static void checkText(const QString &actual, const QString &expected)
{
    QCOMPARE(actual, expected);
    QVERIFY2(!actual.isNull(), "empty result must not be a null string");
}

void TstText::subStringCuts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("expected");

    const QString abc = QStringLiteral("abcdef");
    QTest::newRow("middle") << abc << 1 << 4 << QStringLiteral("bcd");
    QTest::newRow("whole") << abc << 0 << 6 << abc;
    QTest::newRow("to clamped to length") << abc << 2 << 100 << QStringLiteral("cdef");
    QTest::newRow("empty range") << abc << 4 << 4 << QString();
    QTest::newRow("reversed range") << abc << 5 << 2 << QString();
    QTest::newRow("from at end") << abc << 6 << 8 << QString();
    QTest::newRow("from past end") << abc << 9 << 12 << QString();
    QTest::newRow("negative from acts as 0") << abc << -3 << 2 << QStringLiteral("ab");
    QTest::newRow("negative from, to 0") << abc << -3 << 0 << QString();
    QTest::newRow("negative to") << abc << -5 << -2 << QString();
    QTest::newRow("extreme bounds") << abc << INT_MIN << INT_MAX << abc;
    QTest::newRow("empty text") << QString() << 0 << 3 << QString();
    QTest::newRow("null text, negative from") << QString() << -1 << 0 << QString();
}

void TstText::subStringCuts()
{
    QFETCH(QString, text);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, expected);
    checkText(subString(text, from, to), expected.isNull() ? QStringLiteral("") : expected);
}

// getToken and getTokenCount must agree with QString::split keeping empty parts, for every
// index and one past either end.
void TstText::tokensFollowSplit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QStringList>("tokens");

    QTest::newRow("dotted version") << "1.2.3" << "." << QStringList{"1", "2", "3"};
    QTest::newRow("empty token inside") << "a..b" << "." << QStringList{"a", "", "b"};
    QTest::newRow("trailing separator") << "a." << "." << QStringList{"a", ""};
    QTest::newRow("leading separator") << ".a" << "." << QStringList{"", "a"};
    QTest::newRow("only separators") << ".." << "." << QStringList{"", "", ""};
    QTest::newRow("empty text") << "" << "." << QStringList{""};
    QTest::newRow("null text") << QString() << "." << QStringList{""};
    QTest::newRow("no separator") << "abc" << "." << QStringList{"abc"};
    QTest::newRow("case-sensitive") << "aXbxc" << "x" << QStringList{"aXb", "c"};
    QTest::newRow("separator matched whole") << "a::b:c" << "::" << QStringList{"a", "b:c"};
    QTest::newRow("no overlapping matches") << "aaa" << "aa" << QStringList{"", "a"};
    QTest::newRow("adjacent long separators") << "aaaa" << "aa" << QStringList{"", "", ""};
    QTest::newRow("separator longer than text") << "a" << "abc" << QStringList{"a"};
    QTest::newRow("non-ASCII separator") << QString::fromUtf8("x\xc3\xa9y\xc3\xa9")
                                        << QString::fromUtf8("\xc3\xa9")
                                        << QStringList{"x", "y", ""};
}

void TstText::tokensFollowSplit()
{
    QFETCH(QString, text);
    QFETCH(QString, separator);
    QFETCH(QStringList, tokens);

    QCOMPARE(text.split(separator, Qt::KeepEmptyParts, Qt::CaseSensitive), tokens);
    QCOMPARE(getTokenCount(text, separator), tokens.size());
    for (int i = 0; i < tokens.size(); ++i)
        checkText(getToken(text, separator, i), tokens.at(i));
    checkText(getToken(text, separator, int(tokens.size())), QStringLiteral(""));
    checkText(getToken(text, separator, -1), QStringLiteral(""));
    checkText(getToken(text, separator, INT_MIN), QStringLiteral(""));
}

void TstText::zeroPadFills_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");

    QTest::newRow("one zero") << 7 << 2 << "07";
    QTest::newRow("zero value") << 0 << 3 << "000";
    QTest::newRow("exact width") << 42 << 2 << "42";
    QTest::newRow("longer than width, not cut") << 123 << 2 << "123";
    QTest::newRow("width 0") << 5 << 0 << "5";
    QTest::newRow("negative width") << 5 << -1 << "5";
    QTest::newRow("zeros before the sign") << -5 << 4 << "00-5";
    QTest::newRow("negative fits") << -5 << 2 << "-5";
    QTest::newRow("smallest int") << INT_MIN << 12 << "0-2147483648";
    QTest::newRow("largest int") << INT_MAX << 3 << "2147483647";
    const QString widest = QString(4095, QLatin1Char('0')) + QLatin1Char('7');
    QTest::newRow("widest field") << 7 << 4096 << widest;
    QTest::newRow("wider is clamped") << 7 << 4097 << widest;
    QTest::newRow("int max width") << 7 << INT_MAX << widest;
    QTest::newRow("negative at widest") << -7 << INT_MAX
                                        << QString(4094, QLatin1Char('0')) + QStringLiteral("-7");
}

void TstText::zeroPadFills()
{
    QFETCH(int, value);
    QFETCH(int, width);
    QFETCH(QString, expected);
    QCOMPARE(zeroPad(value, width), expected);
}

void TstText::collapseWhitespaceRuns_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("mixed run keeps its first") << "  a \t\n b  " << "a b";
    QTest::newRow("tab first") << "a\t \tb" << "a\tb";
    QTest::newRow("two spaces") << "a  b c" << "a b c";
    QTest::newRow("newline first") << "a\n\n  b" << "a\nb";
    QTest::newRow("only whitespace") << " \t\r\n " << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("null") << QString() << "";
    QTest::newRow("nothing to do") << "abc" << "abc";
    QTest::newRow("non-breaking space is whitespace")
        << QStringLiteral("a\u00a0 b\u2003") << QStringLiteral("a\u00a0b");
}

void TstText::collapseWhitespaceRuns()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    checkText(collapseWhitespace(text), expected);
}

void TstText::getTextBetweenMarkers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("expected");

    QTest::newRow("entity number") << "&#34;" << "#" << ";" << "34";
    QTest::newRow("one digit") << "&#5;" << "#" << ";" << "5";
    QTest::newRow("end right after start is passed over") << "&#;" << "#" << ";" << "";
    QTest::newRow("end searched one past the start") << "x#;y;" << "#" << ";" << ";y";
    QTest::newRow("first start marker only") << "a#1#2;" << "#" << ";" << "1#2";
    QTest::newRow("no start marker") << "a1;" << "#" << ";" << "";
    QTest::newRow("no later end marker") << "a;#1" << "#" << ";" << "";
    QTest::newRow("start marker at the end") << "ab#" << "#" << ";" << "";
    QTest::newRow("long markers") << "<b>bold</b>" << "<b>" << "</b>" << "bold";
    QTest::newRow("markers case-sensitive") << "<B>x</b><b>y</b>" << "<b>" << "</b>" << "y";
    QTest::newRow("empty text") << "" << "#" << ";" << "";
}

void TstText::getTextBetweenMarkers()
{
    QFETCH(QString, text);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, expected);
    checkText(getTextBetween(text, start, end), expected);
}

QTEST_APPLESS_MAIN(TstText)
#include "tst_text.moc"
