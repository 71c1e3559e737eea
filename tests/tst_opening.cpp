// Opening local files: the URL handed to the desktop, captured by a registered handler so
// that nothing is started.
#include "tools.h"

#include <QDesktopServices>
#include <QUrl>
#include <QtTest>

class TestOpening : public QObject
{
    Q_OBJECT

public slots:
    void capture(const QUrl &url) { opened.append(url); }

private slots:
    void init();
    void cleanup();
    void openLocalFile_data();
    void openLocalFile();
    void emptyPathOpensNothing();

private:
    QList<QUrl> opened;
};

void TestOpening::init()
{
    opened.clear();
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "capture");
}

void TestOpening::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void TestOpening::openLocalFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("url");       // as QUrl::toString() shows it
    QTest::addColumn<QString>("localFile");

    // The same URL; only Windows reads a drive letter back from it.
#ifdef Q_OS_WIN
    const QString onDrive = "D:/downloads/clip one.avi";
#else
    const QString onDrive = "/D:/downloads/clip one.avi";
#endif
    QTest::newRow("unix path") << "/home/u/clip one.avi" << "file:///home/u/clip one.avi"
                               << "/home/u/clip one.avi";
    QTest::newRow("drive, backslashes") << "D:\\downloads\\clip one.avi"
                                        << "file:///D:/downloads/clip one.avi" << onDrive;
    QTest::newRow("drive, slashes") << "D:/downloads/clip one.avi"
                                    << "file:///D:/downloads/clip one.avi" << onDrive;
    QTest::newRow("relative from root") << "docs\\a.txt" << "file:///docs/a.txt" << "/docs/a.txt";
    QTest::newRow("network path") << "\\\\server\\share\\a.txt" << "file:////server/share/a.txt"
                                  << "//server/share/a.txt";
    // URL delimiters in a file name must not cut it or be read as escapes.
    QTest::newRow("hash") << "/tmp/a#b.txt" << "file:///tmp/a%23b.txt" << "/tmp/a#b.txt";
    QTest::newRow("question mark") << "/tmp/what?.txt" << "file:///tmp/what%3F.txt"
                                   << "/tmp/what?.txt";
    QTest::newRow("escape look-alike") << "/tmp/100%41.txt" << "file:///tmp/100%2541.txt"
                                       << "/tmp/100%41.txt";
    QTest::newRow("malformed escape") << "/tmp/5%zz %41" << "file:///tmp/5%25zz %2541"
                                      << "/tmp/5%zz %41";
    QTest::newRow("all three") << "/t/%23#?" << "file:///t/%2523%23%3F" << "/t/%23#?";
    QTest::newRow("non-ASCII") << "/tmp/caf\u00e9.txt" << "file:///tmp/caf\u00e9.txt"
                               << "/tmp/caf\u00e9.txt";
}

void TestOpening::openLocalFile()
{
    QFETCH(QString, path);
    QFETCH(QString, url);
    QFETCH(QString, localFile);

    QVERIFY(::openLocalFile(path));
    QVERIFY(::openInShell(path));
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened.at(0).toString(), url);
    QCOMPARE(opened.at(0).toLocalFile(), localFile);
    QCOMPARE(opened.at(1), opened.at(0));
}

void TestOpening::emptyPathOpensNothing()
{
    QVERIFY(!::openLocalFile(QString()));
    QVERIFY(!::openInShell(QStringLiteral("")));
    QVERIFY(opened.isEmpty());
}

QTEST_MAIN(TestOpening)
#include "tst_opening.moc"
