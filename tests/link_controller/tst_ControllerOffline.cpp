// The controller without any unit to talk to: key handling, the idle loop, and what the user
// still sees when input cannot be delivered.
#include "ControllerHarness.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTest>

class tst_ControllerOffline : public QObject
{
    Q_OBJECT
private slots:
    void noKeyStaysIdle();
    void locatorTimeoutReturnsToIdle();
    void inputWithoutConnection_data();
    void inputWithoutConnection();
    void registerPrintsByName_data();
    void registerPrintsByName();
};

void tst_ControllerOffline::noKeyStaysIdle()
{
    ControllerHarness::configure(QByteArray());
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    PylonController controller;
    QSignalSpy states(&controller, &PylonController::notifyUserOfState);
    QSignalSpy connectedSpy(&controller, &PylonController::connected);
    qint64 hintAt = -1;
    QStringList hints;
    connect(&controller, &PylonController::badCredentials, this, [&](const QString &h) {
        hints.append(h);
        hintAt = clock.elapsed();
    });
    QTest::qWait(3400);

    QCOMPARE(hints, QStringList{"No Key Present"});
    // Timers are never early, only late on a busy machine: bound them from the early side alone.
    QVERIFY2(hintAt >= 2450, qPrintable(QString::number(hintAt)));
    // First tick at 350 ms, then every 100 ms: at most 31 ticks in 3.4 s, each with both signals.
    QVERIFY2(states.size() >= 1 && states.size() <= 31, qPrintable(QString::number(states.size())));
    QCOMPARE(connectedSpy.size(), states.size());
    for (const auto &s : states)
        QCOMPARE(s.at(0).toString(), QStringLiteral("Idle"));
    for (const auto &c : connectedSpy)
        QCOMPARE(c.at(0).toBool(), false);
    QVERIFY(!log.contains("VQ6020Locator"));

    // Storing a key is enough: the next tick starts a search.
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.setValue(SettingsKeys::kNetPsk, ControllerHarness::unitKey());
    QVERIFY(log.waitFor("VQ6020Locator: Lookup strategy", 1000));
}

void tst_ControllerOffline::locatorTimeoutReturnsToIdle()
{
    ControllerHarness::configure(ControllerHarness::unitKey());
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    alterExtendedPriority(s, LOC_IP, QStringLiteral("0.0.0.0"));
    LogCapture log;
    PylonController controller;
    QStringList notices;
    connect(&controller, &PylonController::notifyUserOfState, this, [&](const QString &n) {
        if (notices.isEmpty() || notices.last() != n)
            notices.append(n);
    });
    QSignalSpy hints(&controller, &PylonController::badCredentials);
    QVERIFY(log.waitFor("Locator query timed out, was at", 3000));
    QVERIFY(QTest::qWaitFor([&] { return log.count("SavedIPLocator: Did not find IP") == 2; }, 1000)); // next search
    QVERIFY2(notices.mid(0, 3) == (QStringList{"Idle", "Locator Query Time Out", "Idle"}),
             qPrintable(notices.join("|")));
    // The saved-address strategy reports after 1 s; the controller sees it at its next tick.
    const QString line = log.matching("Locator query timed out, was at").first();
    const int ms = line.section(' ', -1).toInt();
    QVERIFY2(ms >= 1000, qPrintable(line));
    QTest::qWait(2600);
    QCOMPARE(hints.size(), 0);
}

using Input = std::function<void(PylonController &)>;
Q_DECLARE_METATYPE(Input)

void tst_ControllerOffline::inputWithoutConnection_data()
{
    QTest::addColumn<Input>("input");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QString>("log");

    QTest::newRow("dial turns still move the mirror") << Input([](PylonController &c) {
        c.spinMainDial(3);
        c.spinMainDial(3);
        c.spinMainDial(-1);
    }) << QStringList{"Main Dial 3 (abs: 3)", "Main Dial 3 (abs: 6)", "Main Dial -1 (abs: 5)"}
                                                      << QString();
    QTest::newRow("touch") << Input([](PylonController &c) { c.injectTouch(QPoint(0, 0)); })
                           << QStringList{"Touch Point: 0,0"} << "Inject touch to 0,0. Hex: fe130000000000fd";
    QTest::newRow("touch below the screen")
        << Input([](PylonController &c) { c.injectTouch(QPoint(10, 273)); }) << QStringList{} << QString();
    QTest::newRow("volume and rf") << Input([](PylonController &c) {
        c.adjustVolume(255);
        c.adjustRfSql(7);
    }) << QStringList{"Volume Set 255", "AfSql Set 7"}
                                   << QString();
    QTest::newRow("oversized inject") << Input([](PylonController &c) { c.writeInjectStr(QString(66, 'a')); })
                                      << QStringList{} << "Inject request too big.  33.";
    QTest::newRow("register write is logged")
        << Input([](PylonController &c) { c.writeWord(PylonController::da_pwrk_click, 27500000); }) << QStringList{}
        << "Write 0x01a39de0 to da_pwrk_click, counter 0.";
}

void tst_ControllerOffline::inputWithoutConnection()
{
    QFETCH(Input, input);
    QFETCH(QStringList, actions);
    QFETCH(QString, log);

    ControllerHarness::configure(QByteArray());
    LogCapture capture;
    PylonController controller;
    QStringList seen;
    connect(&controller, &PylonController::notifyUserOfAction, this, [&](const QString &a) { seen.append(a); });
    input(controller);
    QCOMPARE(seen, actions);
    if (!log.isEmpty())
        QVERIFY2(capture.contains(log), qPrintable(capture.lines().join('\n')));
    // Nothing goes out without a connection, so no dial write is logged either.
    if (!log.startsWith("Write"))
        QVERIFY(!capture.contains("Write 0x"));
    QCOMPARE(controller.state(), PylonController::Idle);
}

void tst_ControllerOffline::registerPrintsByName_data()
{
    QTest::addColumn<uint>("addr");
    QTest::addColumn<QString>("name");
    QTest::newRow("first") << 0xF0000000u << "ctrl_reset";
    QTest::newRow("host sense") << 0xF0000808u << "da_host_sense";
    QTest::newRow("last") << 0xF0006028u << "timer0_uptime_cycles_lsp";
    QTest::newRow("unknown") << 0xF0001234u << "0xf0001234";
}

void tst_ControllerOffline::registerPrintsByName()
{
    QFETCH(uint, addr);
    QFETCH(QString, name);
    QCOMPARE(PylonController::registerName(addr), name);
}

QTEST_MAIN(tst_ControllerOffline)
#include "tst_ControllerOffline.moc"
