// URL scheme tests, validity under Qt's lenient parsing, path-and-query and percent decoding.
#include "tools.h"

#include <QUrl>
#include <QtTest>

class TestUrls : public QObject
{
    Q_OBJECT

private slots:
    void schemes_data();
    void schemes();
    void urlPathAndQuery_data();
    void urlPathAndQuery();
    void decodeUrl_data();
    void decodeUrl();
};

void TestUrls::schemes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("http");
    QTest::addColumn<bool>("rtmp");
    QTest::addColumn<bool>("valid");         // isValidUrl(url, false)
    QTest::addColumn<bool>("validWithRtmp"); // isValidUrl(url, true)

    QTest::newRow("empty") << "" << false << false << false << false;
    QTest::newRow("http") << "http://example.com/a?b=c" << true << false << true << true;
    QTest::newRow("https is not http") << "https://example.com/" << false << false << false << false;
    QTest::newRow("upper-case scheme") << "HTTP://example.com/" << false << false << false << false;
    QTest::newRow("leading space") << " http://example.com/" << false << false << false << false;
    QTest::newRow("rtmp") << "rtmp://media.example.com/live" << false << true << false << true;
    QTest::newRow("rtmpe") << "rtmpe://media.example.com/live" << false << true << false << true;
    QTest::newRow("upper-case rtmp") << "RTMP://media.example.com/" << false << false << false << false;
    // What QUrl accepts, pinned so that Qt 5 and Qt 6 builds are seen to agree.
    QTest::newRow("space in host") << "http://exa mple.com/" << true << false << false << false;
    QTest::newRow("space in rtmp host") << "rtmp://exa mple.com/" << false << true << false << false;
    QTest::newRow("port not a number") << "http://h:x/" << true << false << false << false;
    QTest::newRow("port too large") << "http://h:99999/" << true << false << false << false;
    QTest::newRow("open bracket") << "http://[::1/" << true << false << false << false;
    QTest::newRow("space in path") << "http://h/a b" << true << false << true << true;
    QTest::newRow("bad escape tolerated") << "http://h/%zz" << true << false << true << true;
    QTest::newRow("prefix only") << "http://" << true << false << true << true;
}

void TestUrls::schemes()
{
    QFETCH(QString, url);
    QFETCH(bool, http);
    QFETCH(bool, rtmp);
    QFETCH(bool, valid);
    QFETCH(bool, validWithRtmp);
    QCOMPARE(isHttpUrl(url), http);
    QCOMPARE(isRtmpUrl(url), rtmp);
    QCOMPARE(isValidUrl(url, false), valid);
    QCOMPARE(isValidUrl(url, true), validWithRtmp);
}

void TestUrls::urlPathAndQuery_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("space in path") << "http://h/media/my clip.flv?id=5" << "/media/my%20clip.flv?id=5";
    QTest::newRow("query only") << "http://h?id=5" << "?id=5";
    QTest::newRow("root path") << "http://h/" << "/";
    QTest::newRow("neither") << "http://h" << "";
    QTest::newRow("empty query kept") << "http://h/p?" << "/p?";
    QTest::newRow("fragment dropped") << "http://h/p#top" << "/p";
    QTest::newRow("fragment after query") << "http://h/p?q=1#top" << "/p?q=1#top";
    QTest::newRow("question mark in fragment") << "http://h/p#f?x" << "/p";
    QTest::newRow("non-ASCII path") << "http://h/caf\u00e9" << "/caf%C3%A9";
    // The query as toString() shows it, the path always encoded.
    QTest::newRow("query shown decoded") << "http://h/a%20b?q=%20%41" << "/a%20b?q= A";
    // An escaped delimiter or "%" in the path must stay escaped, not become a query or a
    // new escape.
    QTest::newRow("escaped question mark") << "http://h/a%3Fb?x=1" << "/a%3Fb?x=1";
    QTest::newRow("escaped hash") << "http://h/a%23b" << "/a%23b";
    QTest::newRow("escaped percent") << "http://h/a%2541" << "/a%2541";
    QTest::newRow("escaped slash") << "http://h/a%2Fb" << "/a%2Fb";
}

void TestUrls::urlPathAndQuery()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    const QString result = ::urlPathAndQuery(QUrl(url));
    QCOMPARE(result, expected);
    QVERIFY(!result.isNull());
}

void TestUrls::decodeUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << "" << "";
    QTest::newRow("no escape") << "http://h/a b?c=d" << "http://h/a b?c=d";
    QTest::newRow("one escape") << "a%41b" << "aAb";
    QTest::newRow("either case") << "%2f%2F" << "//";
    QTest::newRow("bytes not joined") << "%C3%A9" << QStringLiteral("\u00c3\u00a9");
    QTest::newRow("nul byte") << "a%00b" << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    QTest::newRow("top byte") << "%ff" << QStringLiteral("\u00ff");
    QTest::newRow("escaped percent once") << "%2541" << "%41";
    QTest::newRow("no double decoding") << "%252e%252e%252f" << "%2e%2e%2f";
    QTest::newRow("not hex") << "a%zzb" << "a%zzb";
    QTest::newRow("one hex digit") << "%4g%41" << "%4gA";
    QTest::newRow("sign is not a digit") << "%-1" << "%-1";
    QTest::newRow("one digit at end") << "a%4" << "a%4";
    QTest::newRow("lone percent at end") << "a%" << "a%";
    QTest::newRow("percent before escape") << "%%41" << "%A";
    QTest::newRow("non-ASCII digits") << QStringLiteral("%\u0661\u0662") << QStringLiteral("%\u0661\u0662");
    QTest::newRow("query before escapes") << "a?b=%41" << "a?b=%41";
    QTest::newRow("escape before query") << "%41?b=%42" << "A?b=B";
    QTest::newRow("decoded question mark") << "a%3Fb?c=%3F" << "a?b?c=?";
}

void TestUrls::decodeUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    const QString result = ::decodeUrl(url);
    QCOMPARE(result, expected);
    QVERIFY(!result.isNull());
}

QTEST_GUILESS_MAIN(TestUrls)
#include "tst_urls.moc"
