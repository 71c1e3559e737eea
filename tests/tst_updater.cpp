// The updater window in-process: its meta-object, its form, its slots and closing it. The
// install unit behind the copy and the removal has its own tests (tst_install).
#include "updater.h"
#include "treeutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <memory>

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasThreePrivateSlots();
    void metaCastByExactName_data();
    void metaCastByExactName();
    void metaCallCopiesWithAndWithoutResultSlot();
    void invokeByName();
    void formSetUp();
    void titleIsTranslated();
    void closingBeforeFirstAttemptEndsWithZero();
};

void TestUpdater::metaObjectHasThreePrivateSlots()
{
    Updater updater;
    const QMetaObject *meta = updater.metaObject();
    QCOMPARE(meta, &Updater::staticMetaObject);
    QCOMPARE(meta->className(), "Updater");
    QCOMPARE(meta->superClass(), &QWidget::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);

    const struct { const char *signature; const char *returnType; QList<QByteArray> names; } expected[] = {
        { "performUpdate()", "void", {} },
        { "startMainApp()", "void", {} },
        { "copyAllFiles(QDir&,QDir&)", "bool", { "sourceDir", "targetDir" } },
    };
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.typeName(), expected[i].returnType);
        QCOMPARE(method.parameterNames(), expected[i].names);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
}

void TestUpdater::metaCastByExactName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("other class name") << QByteArray("UpdaterClass");
    QTest::newRow("base class") << QByteArray("QWidget");
    QTest::newRow("root class") << QByteArray("QObject");
    QTest::newRow("wrong case") << QByteArray("updater");
    QTest::newRow("prefix") << QByteArray("Update");
}

void TestUpdater::metaCastByExactName()
{
    QFETCH(QByteArray, name);
    Updater updater;
    QCOMPARE(updater.qt_metacast("Updater"), static_cast<void *>(&updater));
    QCOMPARE(updater.qt_metacast(nullptr), nullptr);
    QCOMPARE(updater.qt_metacast(name.constData()),
             updater.QWidget::qt_metacast(name.constData()));
}

void TestUpdater::metaCallCopiesWithAndWithoutResultSlot()
{
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), { "a.txt=1" }));
    Updater updater;
    const int id = updater.metaObject()->indexOfMethod("copyAllFiles(QDir&,QDir&)");
    QVERIFY(id >= 0);
    QDir sourceDir(source.path()), targetDir(target.path());

    void *noResult[] = { nullptr, &sourceDir, &targetDir };
    QVERIFY(updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, noResult) < 0);
    QCOMPARE(treeutil::read(target.path()), QStringList { "a.txt=1" });

    bool result = false;
    QDir missing(source.path() + "/missing");
    void *withResult[] = { &result, &sourceDir, &targetDir };
    updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, withResult);
    QVERIFY(result);
    void *failing[] = { &result, &missing, &targetDir };
    updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, failing);
    QVERIFY(!result);
}

void TestUpdater::invokeByName()
{
    // startMainApp resolves ../Quillmoor.exe from the test binary's directory, where there is
    // none: the launch fails, so the slot must arm its own retry and start nothing.
    // performUpdate finds no ../_update there either, so its copy fails and it only re-arms.
    // Each attempt first enters the updater's own directory, which shows that it ran.
    const QString before = QDir::currentPath();
    for (const char *slot : { "startMainApp", "performUpdate" }) {
        Updater updater;
        QDir::setCurrent(QDir::rootPath());
        QVERIFY(QMetaObject::invokeMethod(&updater, slot));
        QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
        QDir::setCurrent(QDir::rootPath());
        QTRY_COMPARE_WITH_TIMEOUT(QDir::currentPath(), QCoreApplication::applicationDirPath(), 5000);
    }
    QDir::setCurrent(before);
}

void TestUpdater::formSetUp()
{
    Updater updater;
    QCOMPARE(updater.objectName(), QString("UpdaterClass"));
    QCOMPARE(updater.windowTitle(), QString("Updater"));
    QCOMPARE(updater.size(), QSize(400, 300));
    QVERIFY(updater.isWindow());
    QVERIFY(updater.children().isEmpty() || !updater.findChild<QWidget *>());
}

class UpperCaseTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        return QByteArray(context) == "UpdaterClass" ? QString(sourceText).toUpper() : QString();
    }
};

void TestUpdater::titleIsTranslated()
{
    UpperCaseTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Updater updater;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(updater.windowTitle(), QString("UPDATER"));
}

void TestUpdater::closingBeforeFirstAttemptEndsWithZero()
{
    // The first attempt would make the updater's directory current; after a close it must
    // never run, not even later.
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    auto updater = std::make_unique<Updater>();
    updater->show();
    QTimer::singleShot(100, updater.get(), &QWidget::close);
    QElapsedTimer clock;
    clock.start();
    const int code = QApplication::exec();
    QCOMPARE(code, 0);
    QVERIFY2(clock.elapsed() < 3000, "the event loop ran into the first attempt");
    updater.reset();
    QTest::qWait(3300);
    QCOMPARE(QDir::currentPath(), QFileInfo(elsewhere.path()).canonicalFilePath());
    QDir::setCurrent(before);
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
