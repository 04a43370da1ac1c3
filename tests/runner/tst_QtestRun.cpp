// tests/qtest-run, which every test goes through, against what Qt Test prints and returns: which runs
// ctest sees as passed, skipped (exit 77) or failed, and that CI does not let an interop test skip.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {
const QString kTotals = QStringLiteral("Totals: %1 passed, %2 failed, %3 skipped, 0 blacklisted, 12ms");

QString runner()
{
    return qEnvironmentVariable("VQ6020_SOURCE_DIR") + QStringLiteral("/tests/qtest-run");
}
} // namespace

class tst_QtestRun : public QObject
{
    Q_OBJECT
private slots:
    void outcomes_data();
    void outcomes();
    void everyTestGoesThroughIt();
};

void tst_QtestRun::outcomes_data()
{
    QTest::addColumn<QStringList>("printed"); // what the test executable prints
    QTest::addColumn<int>("testExit");
    QTest::addColumn<QString>("ci");
    QTest::addColumn<QString>("labels");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QString>("expectedText"); // must appear in what ctest shows

    const QString skipLine = QStringLiteral("SKIP   : tst_X::initTestCase() avahi-daemon is not installed");
    QTest::newRow("all passed") << QStringList{kTotals.arg(5).arg(0).arg(0)} << 0 << ""
                                << "unit" << 0 << "";
    QTest::newRow("all skipped") << QStringList{skipLine, kTotals.arg(1).arg(0).arg(1)} << 0 << ""
                                 << "unit" << 77 << skipLine;
    QTest::newRow("partly skipped, the rest passed") << QStringList{kTotals.arg(6).arg(0).arg(1)} << 0 << ""
                                                     << "unit" << 77 << "";
    QTest::newRow("a failure is never a skip") << QStringList{kTotals.arg(3).arg(1).arg(1)} << 1 << ""
                                               << "unit" << 1 << "";
    QTest::newRow("crash after the totals line") << QStringList{kTotals.arg(3).arg(0).arg(1)} << 134 << ""
                                                 << "unit" << 134 << "";
    QTest::newRow("no Qt totals (not a Qt test)") << QStringList{"ok"} << 0 << ""
                                                  << "unit" << 0 << "";
    QTest::newRow("interop skip in CI fails")
        << QStringList{skipLine, kTotals.arg(1).arg(0).arg(1)} << 0 << "true"
        << "interop,e2e" << 1 << "What was missing:\n         tst_X::initTestCase() avahi-daemon is not installed";
    QTest::newRow("interop skip outside CI") << QStringList{skipLine, kTotals.arg(1).arg(0).arg(1)} << 0 << ""
                                             << "interop,e2e" << 77 << "";
    QTest::newRow("unit skip in CI") << QStringList{skipLine, kTotals.arg(1).arg(0).arg(1)} << 0 << "true"
                                     << "unit" << 77 << "";
    QTest::newRow("interop pass in CI") << QStringList{kTotals.arg(4).arg(0).arg(0)} << 0 << "true"
                                        << "e2e,interop" << 0 << "";
}

void tst_QtestRun::outcomes()
{
    QFETCH(QStringList, printed);
    QFETCH(int, testExit);
    QFETCH(QString, ci);
    QFETCH(QString, labels);
    QFETCH(int, expectedExit);
    QFETCH(QString, expectedText);

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("CI"));
    if (!ci.isEmpty())
        env.insert(QStringLiteral("CI"), ci);
    env.insert(QStringLiteral("VQ6020_TEST_LABELS"), labels);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral("printf '%s\\n' \"$@\"; exit %1").arg(testExit);
    p.start(runner(), QStringList{"sh", "-c", script, "fake-test"} + printed);
    QVERIFY(p.waitForFinished(10000));
    const QString shown = QString::fromUtf8(p.readAll());
    QCOMPARE(p.exitCode(), expectedExit);
    // The test's own output reaches ctest unchanged.
    QVERIFY2(shown.startsWith(printed.join('\n') + '\n'), qPrintable(shown));
    QVERIFY2(shown.contains(expectedText), qPrintable(shown));
}

// A runner nobody calls skips nothing: every test of the suite is started through it, and ctest knows its
// skip code.
void tst_QtestRun::everyTestGoesThroughIt()
{
    const QString ctest = QStandardPaths::findExecutable(QStringLiteral("ctest"));
    if (ctest.isEmpty())
        QSKIP("ctest is not on PATH");
    QProcess p;
    p.setWorkingDirectory(qEnvironmentVariable("VQ6020_BINARY_DIR"));
    p.start(ctest, {"--show-only=json-v1"});
    QVERIFY(p.waitForFinished(30000));
    const QJsonArray tests = QJsonDocument::fromJson(p.readAllStandardOutput()).object().value("tests").toArray();
    QStringList seen;
    for (const QJsonValue &t : tests) {
        const QJsonObject test = t.toObject();
        const QString name = test.value("name").toString();
        if (!name.startsWith("tst_") && !name.startsWith("test_"))
            continue; // not a Qt Test executable (the style check)
        seen << name;
        QCOMPARE(test.value("command").toArray().first().toString(), runner());
        int skipCode = -1;
        for (const QJsonValue &prop : test.value("properties").toArray())
            if (prop.toObject().value("name") == "SKIP_RETURN_CODE")
                skipCode = prop.toObject().value("value").toInt();
        QCOMPARE(skipCode, 77);
    }
    QVERIFY(seen.contains("tst_AvahiInterop"));
    QVERIFY(seen.contains("tst_MdnsServer"));
}

QTEST_GUILESS_MAIN(tst_QtestRun)
#include "tst_QtestRun.moc"
