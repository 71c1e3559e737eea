#include "tools.h"

#include <QApplication>
#include <QDialog>
#include <QLocale>
#include <QTimer>
#include <QtTest>

#include <climits>
#include <cmath>
#include <limits>

class TestFormatting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void getPercentage_data();
    void getPercentage();
    void floatToString_data();
    void floatToString();
    void germanLocale();
    void formatSize_data();
    void formatSize();
    void formatTime_data();
    void formatTime();
    void formatDuration_data();
    void formatDuration();
    void execDialog_data();
    void execDialog();
    void execDialogWithoutDialog();
};

static QLocale usEnglish()
{
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

void TestFormatting::initTestCase()
{
    QLocale::setDefault(usEnglish());
}

void TestFormatting::cleanup()
{
    QLocale::setDefault(usEnglish());
}

void TestFormatting::getPercentage_data()
{
    QTest::addColumn<float>("part");
    QTest::addColumn<float>("whole");
    QTest::addColumn<float>("expected");

    QTest::newRow("quarter") << 50.0f << 200.0f << 25.0f;
    QTest::newRow("whole is zero") << 3.0f << 0.0f << 0.0f;
    QTest::newRow("whole is minus zero") << 3.0f << -0.0f << 0.0f;
    QTest::newRow("negative part") << -1.0f << 4.0f << -25.0f;
    QTest::newRow("over a hundred") << 3.0f << 2.0f << 150.0f;
    QTest::newRow("third") << 1.0f << 3.0f << 33.333332f;
}

void TestFormatting::getPercentage()
{
    QFETCH(float, part);
    QFETCH(float, whole);
    QFETCH(float, expected);
    QCOMPARE(::getPercentage(part, whole), expected);
}

void TestFormatting::floatToString_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QString>("expected");

    QTest::newRow("group separator") << 1536.5f << 2 << "1,536.50";
    QTest::newRow("padded decimals") << 0.1f << 3 << "0.100";
    QTest::newRow("negative") << -1234.5f << 1 << "-1,234.5";
    // 16777217 has no float of its own.
    QTest::newRow("single precision, no point") << 16777217.0f << 0 << "16,777,216";
    QTest::newRow("rounded up") << 0.996f << 2 << "1.00";
    QTest::newRow("zero") << 0.0f << 2 << "0.00";
    QTest::newRow("exact digits") << 0.1f << 30 << "0.100000001490116119384765625000";
    // The smallest float, 2^-149, has the longest exact expansion: 149 decimals.
    const float smallest = std::ldexp(1.0f, -149);
    const QString allDigits = QStringLiteral(
            "0.00000000000000000000000000000000000000000000140129846432481707092372958328991613"
            "128026194187651577175706828388979108268586060148663818836212158203125");
    QTest::newRow("every digit of the smallest") << smallest << 149 << allDigits;
    QTest::newRow("no more than every digit") << smallest << 150 << allDigits;
    const QString oneAndAHalf = QStringLiteral("1.5") + QString(148, QLatin1Char('0'));
    QTest::newRow("int max precision") << 1.5f << INT_MAX << oneAndAHalf;
    QTest::newRow("near int max precision") << 1.5f << INT_MAX - 7 << oneAndAHalf;
    QTest::newRow("negative precision is none") << 1536.53f << -1 << "1,537";
    QTest::newRow("Qt's shortest marker is none too") << 1536.53f << -128 << "1,537";
    QTest::newRow("int min precision") << 2.5f << INT_MIN << "3";
}

void TestFormatting::floatToString()
{
    QFETCH(float, value);
    QFETCH(int, precision);
    QFETCH(QString, expected);
    QCOMPARE(::floatToString(value, precision), expected);
}

void TestFormatting::germanLocale()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(::floatToString(1536.5f, 2), QStringLiteral("1.536,50"));
    QCOMPARE(::formatSize(1536), QStringLiteral("1,50 KB"));
}

void TestFormatting::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << qint64(0) << "0.00 bytes";
    QTest::newRow("bytes") << qint64(500) << "500.00 bytes";
    QTest::newRow("1023") << qint64(1023) << "1,023.00 bytes";
    QTest::newRow("1024 stays bytes") << qint64(1024) << "1,024.00 bytes";
    QTest::newRow("1025 is KB") << qint64(1025) << "1.00 KB";
    QTest::newRow("KB and a half") << qint64(1536) << "1.50 KB";
    QTest::newRow("KB rounds to 1,024") << qint64(1048572) << "1,024.00 KB";
    QTest::newRow("1024 KB stays KB") << qint64(1048576) << "1,024.00 KB";
    QTest::newRow("one over is MB") << qint64(1048577) << "1.00 MB";
    QTest::newRow("MB and a half") << qint64(1572864) << "1.50 MB";
    QTest::newRow("1024 MB stays MB") << qint64(1073741824) << "1,024.00 MB";
    QTest::newRow("one over is GB") << qint64(1073741825) << "1.00 GB";
    QTest::newRow("GB and a half") << qint64(1610612736) << "1.50 GB";
    QTest::newRow("int max") << qint64(INT_MAX) << "2.00 GB";
    QTest::newRow("negative") << qint64(-5) << "-5.00 bytes";
    QTest::newRow("int min") << qint64(INT_MIN) << "-2,147,483,648.00 bytes";
    // Sizes beyond an int, as QFileInfo::size() gives them.
    QTest::newRow("just past int") << qint64(INT_MAX) + 1 << "2.00 GB";
    QTest::newRow("3.5 GB") << Q_INT64_C(3758096384) << "3.50 GB";
    QTest::newRow("5 TiB stays GB") << Q_INT64_C(5497558138880) << "5,120.00 GB";
    QTest::newRow("qint64 max") << std::numeric_limits<qint64>::max()
                                << "8,589,934,592.00 GB";
    QTest::newRow("qint64 min") << std::numeric_limits<qint64>::min()
                                << "-9,223,372,036,854,775,808.00 bytes";
}

void TestFormatting::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QCOMPARE(::formatSize(bytes), expected);
}

void TestFormatting::formatTime_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<bool>("hideZeroHours");
    QTest::addColumn<bool>("hideZeroMinutes");
    QTest::addColumn<bool>("allowNegative");
    QTest::addColumn<QString>("expected");

    const QString c = QStringLiteral(":");
    QTest::newRow("full") << 3725 << c << false << false << false << "1:02:05";
    QTest::newRow("zero hours shown") << 65 << c << false << false << false << "0:01:05";
    QTest::newRow("zero hours hidden") << 65 << c << true << false << false << "01:05";
    QTest::newRow("zero minutes kept") << 5 << c << true << false << false << "00:05";
    QTest::newRow("both hidden") << 5 << c << true << true << false << "05";
    QTest::newRow("minutes not zero") << 60 << c << true << true << false << "01:00";
    QTest::newRow("minutes kept after hours") << 3605 << c << true << true << false << "1:00:05";
    QTest::newRow("minutes need hidden hours") << 5 << c << false << true << false << "0:00:05";
    QTest::newRow("zero, all hidden") << 0 << c << true << true << false << "00";
    QTest::newRow("hours over a day") << 360000 << c << false << false << false << "100:00:00";
    QTest::newRow("int max") << INT_MAX << c << false << false << false << "596523:14:07";
    QTest::newRow("negative refused") << -5 << c << false << false << false << "0:00:00";
    QTest::newRow("negative allowed") << -3725 << c << false << false << true << "-1:-2:-5";
    QTest::newRow("negative, only seconds") << -59 << c << true << true << true << "-59";
    QTest::newRow("negative long seconds") << -15 << c << false << false << true << "0:00:-15";
    QTest::newRow("empty separator") << 3725 << "" << false << false << false << "10205";
    QTest::newRow("long separator") << 3725 << " - " << true << true << false << "1 - 02 - 05";
    QTest::newRow("percent separator") << 3725 << "%1" << false << false << false << "1%102%105";
}

void TestFormatting::formatTime()
{
    QFETCH(int, seconds);
    QFETCH(QString, separator);
    QFETCH(bool, hideZeroHours);
    QFETCH(bool, hideZeroMinutes);
    QFETCH(bool, allowNegative);
    QFETCH(QString, expected);
    QCOMPARE(::formatTime(seconds, separator, hideZeroHours, hideZeroMinutes, allowNegative),
             expected);
}

void TestFormatting::formatDuration_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<bool>("compact");
    QTest::addColumn<bool>("allowNegative");
    QTest::addColumn<QString>("expected");

    QTest::newRow("full") << 3725 << false << false << "1h 2m 5s";
    QTest::newRow("full zero") << 0 << false << false << "0h 0m 0s";
    QTest::newRow("full negative refused") << -5 << false << false << "0h 0m 0s";
    QTest::newRow("full no grouping") << 3600000 << false << false << "1000h 0m 0s";
    QTest::newRow("compact") << 3725 << true << false << "1h2m5s";
    QTest::newRow("compact hours only") << 3600 << true << false << "1h";
    QTest::newRow("compact no minutes") << 3605 << true << false << "1h5s";
    QTest::newRow("compact no hours") << 65 << true << false << "1m5s";
    QTest::newRow("compact minutes only") << 120 << true << false << "2m";
    QTest::newRow("compact a day") << 86400 << true << false << "24h";
    QTest::newRow("compact zero") << 0 << true << false << "";
    QTest::newRow("compact negative refused") << -5 << true << false << "";
    QTest::newRow("full negative allowed") << -3725 << false << true << "-1h -2m -5s";
    QTest::newRow("compact negative allowed") << -3725 << true << true << "-1h-2m-5s";
}

void TestFormatting::formatDuration()
{
    QFETCH(int, seconds);
    QFETCH(bool, compact);
    QFETCH(bool, allowNegative);
    QFETCH(QString, expected);
    const QString actual = ::formatDuration(seconds, compact, allowNegative);
    QCOMPARE(actual, expected);
    QVERIFY(!actual.isNull());
}

void TestFormatting::execDialog_data()
{
    QTest::addColumn<QString>("close");
    QTest::addColumn<int>("code");

    QTest::newRow("accept") << "accept" << int(QDialog::Accepted);
    QTest::newRow("reject") << "reject" << int(QDialog::Rejected);
    QTest::newRow("done with own code") << "done" << 7;
    QTest::newRow("done with negative code") << "done" << -3;
}

void TestFormatting::execDialog()
{
    QFETCH(QString, close);
    QFETCH(int, code);

    QDialog dialog;
    bool shownModal = false;
    QTimer::singleShot(0, &dialog, [&] {
        shownModal = dialog.isVisible() && QApplication::activeModalWidget() == &dialog;
        if (close == QLatin1String("accept"))
            dialog.accept();
        else if (close == QLatin1String("reject"))
            dialog.reject();
        else
            dialog.done(code);
    });
    // Should the closing timer not reach the dialog, end the run instead of hanging.
    QTimer::singleShot(10000, &dialog, [&] { dialog.done(-1000); });

    QCOMPARE(::execDialog(&dialog), code);
    QVERIFY(shownModal);
    QVERIFY(!dialog.isVisible());
}

void TestFormatting::execDialogWithoutDialog()
{
    QCOMPARE(::execDialog(nullptr), int(QDialog::Rejected));
}

QTEST_MAIN(TestFormatting)
#include "tst_formatting.moc"
