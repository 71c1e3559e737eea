// The named entity table, its two lookups, and decoding and encoding of HTML references.
#include "tools.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

class TstEntities : public QObject
{
    Q_OBJECT

private slots:
    void tableLayout();
    void tableNames_data();
    void tableNames();
    void tableRoundTrip();
    void namedToNumeric_data();
    void namedToNumeric();
    void numericToNamed_data();
    void numericToNamed();
    void entityToCharDecodes_data();
    void entityToCharDecodes();
    void decodeText_data();
    void decodeText();
    void decodeLongStrayAmpersand();
    void charToEntityEncodes_data();
    void charToEntityEncodes();
    void everyUnitRoundTrips();
    void encodeText_data();
    void encodeText();
    void encodeThenDecode_data();
    void encodeThenDecode();
};

static QString ucs4(char32_t codePoint)
{
    return QString::fromUcs4(&codePoint, 1);
}

// Every index holds "&#<code>;=&<name>;" for the code point its position stands for.
void TstEntities::tableLayout()
{
    const int count = int(sizeof(htmlEntityTable) / sizeof(htmlEntityTable[0]));
    QCOMPARE(count, 100);
    const QRegularExpression form(QStringLiteral("^&#(\\d+);=&([A-Za-z0-9]+);$"));
    const int markup[] = {34, 38, 60, 62};
    QStringList names;
    for (int i = 0; i < count; ++i) {
        const QRegularExpressionMatch match = form.match(htmlEntityTable[i]);
        QVERIFY2(match.hasMatch(), qPrintable(htmlEntityTable[i]));
        QCOMPARE(match.captured(1).toInt(), i < 4 ? markup[i] : i + 156);
        names << match.captured(2);
    }
    names.removeDuplicates();
    QCOMPARE(names.size(), count);
}

void TstEntities::tableNames_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("entry");

    QTest::newRow("quot") << 0 << "&#34;=&quot;";
    QTest::newRow("amp") << 1 << "&#38;=&amp;";
    QTest::newRow("lt") << 2 << "&#60;=&lt;";
    QTest::newRow("gt") << 3 << "&#62;=&gt;";
    QTest::newRow("nbsp") << 4 << "&#160;=&nbsp;";
    QTest::newRow("shy") << 17 << "&#173;=&shy;";
    QTest::newRow("frac34") << 34 << "&#190;=&frac34;";
    QTest::newRow("Agrave capital") << 36 << "&#192;=&Agrave;";
    QTest::newRow("AElig") << 42 << "&#198;=&AElig;";
    QTest::newRow("Eacute") << 45 << "&#201;=&Eacute;";
    QTest::newRow("ETH") << 52 << "&#208;=&ETH;";
    QTest::newRow("times") << 59 << "&#215;=&times;";
    QTest::newRow("THORN") << 66 << "&#222;=&THORN;";
    QTest::newRow("szlig") << 67 << "&#223;=&szlig;";
    QTest::newRow("agrave small") << 68 << "&#224;=&agrave;";
    QTest::newRow("divide") << 91 << "&#247;=&divide;";
    QTest::newRow("yuml") << 99 << "&#255;=&yuml;";
}

void TstEntities::tableNames()
{
    QFETCH(int, index);
    QFETCH(QString, entry);
    QCOMPARE(htmlEntityTable[index], entry);
}

// Every entry converts both ways, and its character encodes to it and decodes from it.
void TstEntities::tableRoundTrip()
{
    for (const QString &entry : htmlEntityTable) {
        const QString numeric = entry.section(QLatin1Char('='), 0, 0);
        const QString named = entry.section(QLatin1Char('='), 1, 1);
        const QChar ch(char16_t(numeric.mid(2, numeric.size() - 3).toInt()));
        QCOMPARE(namedToNumericEntity(named), numeric);
        QCOMPARE(numericToNamedEntity(numeric), named);
        QCOMPARE(entityToChar(named), ch);
        QCOMPARE(entityToChar(numeric), ch);
        QCOMPARE(charToEntity(ch, true), named);
        QCOMPARE(charToEntity(ch, false), numeric);
        QCOMPARE(decodeHtmlEntities(named), QString(ch));
    }
}

void TstEntities::namedToNumeric_data()
{
    QTest::addColumn<QString>("entity");
    QTest::addColumn<QString>("expected");

    QTest::newRow("quot") << "&quot;" << "&#34;";
    QTest::newRow("amp") << "&amp;" << "&#38;";
    QTest::newRow("nbsp") << "&nbsp;" << "&#160;";
    QTest::newRow("capital Eacute") << "&Eacute;" << "&#201;";
    QTest::newRow("small eacute") << "&eacute;" << "&#233;";
    QTest::newRow("wrong case") << "&EACUTE;" << "";
    QTest::newRow("wrong case amp") << "&Amp;" << "";
    QTest::newRow("bare name") << "amp" << "";
    QTest::newRow("no semicolon") << "&amp" << "";
    QTest::newRow("extra text") << "&amp;x" << "";
    QTest::newRow("padded") << " &amp;" << "";
    QTest::newRow("numeric") << "&#38;" << "";
    QTest::newRow("outside the table") << "&euro;" << "";
    QTest::newRow("empty") << "" << "";
}

void TstEntities::namedToNumeric()
{
    QFETCH(QString, entity);
    QFETCH(QString, expected);
    const QString actual = namedToNumericEntity(entity);
    QCOMPARE(actual, expected);
    QVERIFY(!actual.isNull());
}

void TstEntities::numericToNamed_data()
{
    QTest::addColumn<QString>("entity");
    QTest::addColumn<QString>("expected");

    QTest::newRow("quot") << "&#34;" << "&quot;";
    QTest::newRow("amp") << "&#38;" << "&amp;";
    QTest::newRow("first Latin-1") << "&#160;" << "&nbsp;";
    QTest::newRow("last Latin-1") << "&#255;" << "&yuml;";
    QTest::newRow("leading zero is decimal") << "&#0233;" << "&eacute;";
    QTest::newRow("no name for A") << "&#65;" << "";
    QTest::newRow("just below Latin-1") << "&#159;" << "";
    QTest::newRow("just above Latin-1") << "&#256;" << "";
    QTest::newRow("zero") << "&#0;" << "";
    QTest::newRow("hexadecimal") << "&#x26;" << "";
    QTest::newRow("no digits") << "&#;" << "";
    QTest::newRow("no hash") << "&38;" << "";
    QTest::newRow("negative") << "&#-34;" << "";
    // The number reads as QString::toInt reads it on Qt 6, and the same on Qt 5.
    QTest::newRow("plus sign") << "&#+233;" << "&eacute;";
    QTest::newRow("ASCII whitespace around") << "&#\t233 ;" << "&eacute;";
    QTest::newRow("non-ASCII space") << QStringLiteral("&#\u00a0233;") << "";
    QTest::newRow("two signs") << "&#+-233;" << "";
    QTest::newRow("sign only") << "&#+;" << "";
    QTest::newRow("space inside") << "&#2 33;" << "";
    QTest::newRow("full-width digits") << QStringLiteral("&#\uff12\uff13\uff13;") << "";
    QTest::newRow("wraps to 34 in 16 bits") << "&#65570;" << "";
    QTest::newRow("beyond int") << "&#4294967330;" << "";
}

void TstEntities::numericToNamed()
{
    QFETCH(QString, entity);
    QFETCH(QString, expected);
    const QString actual = numericToNamedEntity(entity);
    QCOMPARE(actual, expected);
    QVERIFY(!actual.isNull());
}

void TstEntities::entityToCharDecodes_data()
{
    QTest::addColumn<QString>("entity");
    QTest::addColumn<QChar>("expected");

    const QChar space(u' ');
    QTest::newRow("named") << "&lt;" << QChar(u'<');
    QTest::newRow("named Latin-1") << "&eacute;" << QChar(u'\u00e9');
    QTest::newRow("decimal") << "&#65;" << QChar(u'A');
    QTest::newRow("leading zeros") << "&#000065;" << QChar(u'A');
    QTest::newRow("beyond Latin-1") << "&#8364;" << QChar(u'\u20ac');
    QTest::newRow("largest unit") << "&#65535;" << QChar(u'\uffff');
    QTest::newRow("zero") << "&#0;" << QChar(u'\0');
    QTest::newRow("plus sign") << "&#+65;" << QChar(u'A');
    QTest::newRow("hexadecimal") << "&#x41;" << space;
    QTest::newRow("unknown name") << "&euro;" << space;
    QTest::newRow("wrong case") << "&AMP;" << space;
    QTest::newRow("no digits") << "&#;" << space;
    QTest::newRow("empty") << "" << space;
    // One QChar cannot hold these; they must not wrap to another character.
    QTest::newRow("astral") << "&#128512;" << space;
    QTest::newRow("would wrap to A") << "&#65601;" << space;
    QTest::newRow("minus one") << "&#-1;" << space;
    QTest::newRow("beyond int") << "&#99999999999999999999;" << space;
}

void TstEntities::entityToCharDecodes()
{
    QFETCH(QString, entity);
    QFETCH(QChar, expected);
    QCOMPARE(entityToChar(entity), expected);
}

void TstEntities::decodeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << "" << "";
    QTest::newRow("no reference") << "plain text; here" << "plain text; here";
    QTest::newRow("amp") << "salt &amp; pepper" << "salt & pepper";
    QTest::newRow("markup") << "&lt;b&gt;bold&lt;/b&gt;" << "<b>bold</b>";
    QTest::newRow("quotes") << "&quot;x&quot;" << "\"x\"";
    QTest::newRow("named Latin-1") << "caf&eacute;" << QStringLiteral("caf\u00e9");
    QTest::newRow("numeric Latin-1") << "caf&#233;" << QStringLiteral("caf\u00e9");
    QTest::newRow("nbsp") << "&nbsp;" << QStringLiteral("\u00a0");
    QTest::newRow("decimal") << "&#65;&#065;" << "AA";
    QTest::newRow("adjacent references") << "&lt;&gt;&amp;" << "<>&";
    QTest::newRow("hexadecimal is a space") << "&#x41;" << " ";
    QTest::newRow("unknown name is a space") << "&euro;" << " ";
    QTest::newRow("wrong case is a space") << "&AMP;" << " ";
    QTest::newRow("no digits is a space") << "&#;" << " ";
    QTest::newRow("empty name is a space") << "a&;b" << "a b";
    QTest::newRow("hash inside the name") << "&ab#65;" << "A";
    QTest::newRow("one pass only") << "&amp;amp;" << "&amp;";
    QTest::newRow("one pass, lt") << "&amp;lt;" << "&lt;";
    // Stray ampersands are text, and decoding goes on after them.
    QTest::newRow("no semicolon") << "fish&chips" << "fish&chips";
    QTest::newRow("ampersand at the end") << "x&" << "x&";
    QTest::newRow("spaced ampersand") << "a & b; c" << "a & b; c";
    QTest::newRow("tab in reference") << "&a\tb;" << "&a\tb;";
    QTest::newRow("non-breaking space in reference")
        << QStringLiteral("&a\u00a0b;") << QStringLiteral("&a\u00a0b;");
    QTest::newRow("stray then reference") << "a & b &lt; c" << "a & b < c";
    QTest::newRow("double ampersand") << "&&amp;" << "&&";
    QTest::newRow("only ampersands") << "&&&" << "&&&";
    QTest::newRow("letters up to a semicolon are a reference") << "R&D; &gt;" << "R  >";
    // A reference is found by its ";", whether the ";"s before it end one or not, on
    // either side of the sixteen units the search takes at a time.
    QTest::newRow("semicolons before the first reference")
        << "a;b; c;d&e f;g;h;i;j;k;l;m;n;o;p&lt;" << "a;b; c;d&e f;g;h;i;j;k;l;m;n;o;p<";
    QTest::newRow("reference ends at the sixteenth unit") << "0123456789&quot;" << "0123456789\"";
    QTest::newRow("reference ends at the seventeenth unit") << "0123456789a&quot;" << "0123456789a\"";
    QTest::newRow("semicolon before its ampersand")
        << QString(40, u'x') + ";&amp" << QString(40, u'x') + ";&amp";
    // Numbers are code points: no wrapping to 16 bits.
    QTest::newRow("no wrap to markup") << "&#65596;" << ucs4(0x1003C);
    QTest::newRow("astral") << "x&#128512;y" << "x" + ucs4(0x1F600) + "y";
    QTest::newRow("largest code point") << "&#1114111;" << ucs4(0x10FFFF);
    QTest::newRow("beyond Unicode") << "&#1114112;" << " ";
    QTest::newRow("minus one") << "&#-1;" << " ";
    QTest::newRow("beyond int") << "&#4294967356;" << " ";
    QTest::newRow("largest unit") << "&#65535;" << QStringLiteral("\uffff");
}

void TstEntities::decodeText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QString actual = decodeHtmlEntities(text);
    QCOMPARE(actual, expected);
    QVERIFY(!actual.isNull());
}

// A stray "&" far from any ";" is kept, and a reference right after it still decodes.
void TstEntities::decodeLongStrayAmpersand()
{
    const QString filler(100000, QLatin1Char('a'));
    QCOMPARE(decodeHtmlEntities("&" + filler), "&" + filler);
    QCOMPARE(decodeHtmlEntities("&" + filler + " &lt;"), "&" + filler + " <");
    QCOMPARE(decodeHtmlEntities("&" + filler + ";"), QStringLiteral(" "));
}

void TstEntities::charToEntityEncodes_data()
{
    QTest::addColumn<QChar>("ch");
    QTest::addColumn<QString>("numeric");
    QTest::addColumn<QString>("named");

    QTest::newRow("letter") << QChar(u'A') << "A" << "A";
    QTest::newRow("apostrophe") << QChar(u'\'') << "'" << "'";
    QTest::newRow("equals") << QChar(u'=') << "=" << "=";
    QTest::newRow("space") << QChar(u' ') << " " << " ";
    QTest::newRow("tilde") << QChar(u'~') << "~" << "~";
    QTest::newRow("semicolon") << QChar(u';') << ";" << ";";
    QTest::newRow("NUL") << QChar(u'\0') << "" << "";
    QTest::newRow("quotation mark") << QChar(u'"') << "&#34;" << "&quot;";
    QTest::newRow("ampersand") << QChar(u'&') << "&#38;" << "&amp;";
    QTest::newRow("less-than") << QChar(u'<') << "&#60;" << "&lt;";
    QTest::newRow("greater-than") << QChar(u'>') << "&#62;" << "&gt;";
    QTest::newRow("e acute") << QChar(u'\u00e9') << "&#233;" << "&eacute;";
    QTest::newRow("nbsp") << QChar(u'\u00a0') << "&#160;" << "&nbsp;";
    QTest::newRow("tab") << QChar(u'\t') << "&#9;" << "&#9;";
    QTest::newRow("line feed") << QChar(u'\n') << "&#10;" << "&#10;";
    QTest::newRow("delete") << QChar(u'\u007f') << "&#127;" << "&#127;";
    QTest::newRow("C1 control") << QChar(u'\u0080') << "&#128;" << "&#128;";
    QTest::newRow("euro") << QChar(u'\u20ac') << "&#8364;" << "&#8364;";
    QTest::newRow("lone high surrogate") << QChar(u'\xd83d') << "&#55357;" << "&#55357;";
    QTest::newRow("last unit") << QChar(u'\xffff') << "&#65535;" << "&#65535;";
}

void TstEntities::charToEntityEncodes()
{
    QFETCH(QChar, ch);
    QFETCH(QString, numeric);
    QFETCH(QString, named);
    const QString withoutNames = charToEntity(ch, false);
    QCOMPARE(withoutNames, numeric);
    QVERIFY(!withoutNames.isNull());
    QCOMPARE(charToEntity(ch, true), named);
}

// Whatever charToEntity writes for a unit, the decoder reads back as that unit.
void TstEntities::everyUnitRoundTrips()
{
    for (uint u = 1; u <= 0xFFFF; ++u) {
        const QString unit{QChar(char16_t(u))};
        for (const bool named : {false, true}) {
            const QString encoded = charToEntity(unit.at(0), named);
            if (decodeHtmlEntities(encoded) != unit)
                QFAIL(qPrintable(QStringLiteral("U+%1 -> %2").arg(u, 4, 16).arg(encoded)));
            if (encoded.contains(u'<') || encoded.contains(u'>') || encoded.contains(u'"'))
                QFAIL(qPrintable(QStringLiteral("markup left in %1").arg(encoded)));
        }
    }
}

void TstEntities::encodeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("numeric");
    QTest::addColumn<QString>("named");

    QTest::newRow("empty") << "" << "" << "";
    QTest::newRow("plain") << "Hello, world!" << "Hello, world!" << "Hello, world!";
    QTest::newRow("markup") << "a<b & c" << "a&#60;b &#38; c" << "a&lt;b &amp; c";
    QTest::newRow("quoted") << "\"x\"" << "&#34;x&#34;" << "&quot;x&quot;";
    // Characters above Latin-1 and lone Latin-1 characters are kept.
    QTest::newRow("euro") << QStringLiteral("\u20ac5") << "&#8364;5" << "&#8364;5";
    QTest::newRow("lone e acute") << QStringLiteral("caf\u00e9") << "caf&#233;" << "caf&eacute;";
    QTest::newRow("all Latin-1, not UTF-8") << QStringLiteral("\u00e9t\u00e9")
                                           << "&#233;t&#233;" << "&eacute;t&eacute;";
    QTest::newRow("Latin-1 next to euro") << QStringLiteral("\u00c3\u00a9\u20ac")
                                         << "&#195;&#169;&#8364;"
                                         << "&Atilde;&copy;&#8364;";
    // UTF-8 that was read as Latin-1 is repaired first.
    QTest::newRow("UTF-8 read as Latin-1") << QStringLiteral("caf\u00c3\u00a9")
                                          << "caf&#233;" << "caf&eacute;";
    QTest::newRow("three-byte UTF-8") << QStringLiteral("\u00e2\u0082\u00ac")
                                     << "&#8364;" << "&#8364;";
    QTest::newRow("four-byte UTF-8") << QStringLiteral("\u00f0\u009f\u0098\u0080")
                                    << "&#128512;" << "&#128512;";
    QTest::newRow("truncated sequence") << QStringLiteral("\u00c3") << "&#195;" << "&Atilde;";
    QTest::newRow("overlong slash") << QStringLiteral("\u00c0\u00af") << "&#192;&#175;"
                                   << "&Agrave;&macr;";
    QTest::newRow("encoded surrogate") << QStringLiteral("\u00ed\u00a0\u0080")
                                      << "&#237;&#160;&#128;" << "&iacute;&nbsp;&#128;";
    QTest::newRow("beyond U+10FFFF") << QStringLiteral("\u00f4\u0090\u0080\u0080")
                                    << "&#244;&#144;&#128;&#128;"
                                    << "&ocirc;&#144;&#128;&#128;";
    // Outside the BMP: one reference per character, not per surrogate.
    QTest::newRow("emoji") << "a" + ucs4(0x1F600) + "b" << "a&#128512;b" << "a&#128512;b";
    QTest::newRow("lone high surrogate") << QString(QChar(u'\xd83d')) + "x"
                                        << "&#55357;x" << "&#55357;x";
    QTest::newRow("reversed pair") << QString(QChar(u'\xde00')) + QChar(u'\xd83d')
                                  << "&#56832;&#55357;" << "&#56832;&#55357;";
    QTest::newRow("high surrogate at the end") << QString(QChar(u'\xd83d'))
                                              << "&#55357;" << "&#55357;";
    // NUL is dropped and encoding goes on after it.
    QTest::newRow("NUL in the middle") << QString::fromUtf16(u"a\0<b", 4) << "a&#60;b" << "a&lt;b";
    QTest::newRow("NUL with repair") << QString::fromUtf16(u"\u00c3\0\u00a9", 3)
                                    << "&#195;&#169;" << "&Atilde;&copy;";
    QTest::newRow("NUL inside UTF-8 text") << QString::fromUtf16(u"\0\u00c3\u00a9", 3)
                                          << "&#233;" << "&eacute;";
    // Long texts, so that runs span several blocks of eight units and the UTF-8 check starts
    // far from the front.
    const QString a20(20, QLatin1Char('a'));
    QTest::newRow("long runs around markup") << a20 + "<" + a20 + "&\"" + a20
                                            << a20 + "&#60;" + a20 + "&#38;&#34;" + a20
                                            << a20 + "&lt;" + a20 + "&amp;&quot;" + a20;
    QTest::newRow("UTF-8 read as Latin-1 after ASCII")
        << a20 + QStringLiteral("caf\u00c3\u00a9") << a20 + "caf&#233;" << a20 + "caf&eacute;";
    QTest::newRow("UTF-8 read as Latin-1, then euro")
        << a20 + QStringLiteral("\u00c3\u00a9\u20ac") << a20 + "&#195;&#169;&#8364;"
        << a20 + "&Atilde;&copy;&#8364;";
    // A pair right after a lone high surrogate, where a block of eight ends between them.
    const QString a7(7, QLatin1Char('a'));
    const QString a8(8, QLatin1Char('a'));
    QTest::newRow("pair across a block's end")
        << a7 + QChar(u'\xd83d') + QChar(u'\xde00') + a8 << a7 + "&#128512;" + a8
        << a7 + "&#128512;" + a8;
    QTest::newRow("pair after a high surrogate at a block's end")
        << a7 + QChar(u'\xd83d') + QChar(u'\xd83d') + QChar(u'\xde00') + a8
        << a7 + "&#55357;&#128512;" + a8 << a7 + "&#55357;&#128512;" + a8;
    // Every unit of Latin-1 but NUL, in two alignments: what charToEntity gives for each.
    for (const int shift : {0, 3}) {
        QString text(shift, QLatin1Char('x'));
        QString numeric = text;
        QString named = text;
        for (char16_t u = 1; u <= 0xFF; ++u) {
            text += QChar(u);
            numeric += charToEntity(QChar(u), false);
            named += charToEntity(QChar(u), true);
        }
        QTest::newRow(qPrintable(QStringLiteral("every Latin-1 unit, shifted by %1").arg(shift)))
            << text << numeric << named;
    }
}

void TstEntities::encodeText()
{
    QFETCH(QString, text);
    QFETCH(QString, numeric);
    QFETCH(QString, named);
    const QString withoutNames = encodeHtmlEntities(text, false);
    QCOMPARE(withoutNames, numeric);
    QVERIFY(!withoutNames.isNull());
    QCOMPARE(encodeHtmlEntities(text, true), named);
}

void TstEntities::encodeThenDecode_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("markup") << "<p class=\"a&b\">it's 5 > 3; ok</p>";
    QTest::newRow("references stay text") << "&amp; &#60; &euro; &";
    QTest::newRow("whitespace") << "a\tb\r\nc  d";
    QTest::newRow("Latin-1 letters") << QStringLiteral("Cr\u00e8me br\u00fbl\u00e9e \u00a9");
    QTest::newRow("CJK") << QStringLiteral("\u6f22\u5b57\u304b\u306a");
    QTest::newRow("emoji") << "smile " + ucs4(0x1F600) + ucs4(0x10FFFF);
    QTest::newRow("lone surrogates") << QString(QChar(u'\xdc00')) + QChar(u'\xd800') + "x";
    QString latin1;
    for (char16_t u = 1; u <= 0xFF; ++u)
        latin1 += QChar(u);
    QTest::newRow("all of Latin-1") << latin1;

    QRandomGenerator random(20261207);
    for (int row = 0; row < 20; ++row) {
        QString text;
        const int length = random.bounded(1, 200);
        for (int i = 0; i < length; ++i) {
            // Half the units from the markup-heavy ASCII range, the rest from anywhere.
            const char16_t u = random.bounded(2) ? char16_t(random.bounded(1, 0x80))
                                                 : char16_t(random.bounded(1, 0x10000));
            text += QChar(u);
        }
        QTest::newRow(qPrintable(QStringLiteral("random %1").arg(row))) << text;
    }
}

void TstEntities::encodeThenDecode()
{
    QFETCH(QString, text);
    QCOMPARE(decodeHtmlEntities(encodeHtmlEntities(text, false)), text);
    QCOMPARE(decodeHtmlEntities(encodeHtmlEntities(text, true)), text);
}

QTEST_APPLESS_MAIN(TstEntities)
#include "tst_entities.moc"
