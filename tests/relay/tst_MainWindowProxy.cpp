#include "app/SettingsKeys.h"
#include "relay/MainWindowProxy.h"
#include "relay/Proxy.h"
#include "support/ClientSettings.h"
#include "support/ScreenImages.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QStackedWidget>
#include <QtTest>

namespace {
const QByteArray kKey = QByteArray::fromHex("5651363032302d73696d2d6b65792d31");
}

class TestMainWindowProxy : public QObject
{
    Q_OBJECT
private slots:
    void init() { ClientSettings::useSavedAddressOnly(kKey); }

    void form_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("check box") << "doProxy"
                                   << "Proxy Mode (Close and Restart VQ6020 to apply)";
        QTest::newRow("rate in") << "stats_bpsIn"
                                 << "0";
        QTest::newRow("fps") << "stats_fps"
                             << "0";
        QTest::newRow("rate out") << "stats_bpsOut"
                                  << "0";
        QTest::newRow("configuration") << ""
                                       << "Configuration";
        QTest::newRow("compressor") << ""
                                    << "Video Compressor Status";
        QTest::newRow("log") << ""
                             << "Log";
        for (const char *label : {"Mb/s In:", "FPS In:", "Mb/s Out:"})
            QTest::newRow(label) << "" << label;
    }
    void form()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        MainWindowProxy w;
        QCOMPARE(w.size(), QSize(487, 299));
        QCOMPARE(w.windowTitle(), QStringLiteral("VQ6020 Proxy"));
        auto *stack = w.findChild<QStackedWidget *>();
        QVERIFY(stack && stack->count() == 2);
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("runningPage"));
        QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("page_6"));
        QVERIFY(w.findChild<QPlainTextEdit *>(QStringLiteral("statusLog"))->isReadOnly());
        QStringList texts;
        for (auto *l : w.findChildren<QLabel *>(name.isEmpty() ? QString() : name))
            texts << l->text();
        for (auto *b : w.findChildren<QGroupBox *>())
            texts << b->title();
        if (auto *c = w.findChild<QCheckBox *>(name.isEmpty() ? QStringLiteral("doProxy") : name))
            texts << c->text();
        QVERIFY2(texts.contains(text), qPrintable(texts.join('|')));
    }

    void figures()
    {
        MainWindowProxy w;
        w.newStats(1250000, 0, 59.94);
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("stats_bpsIn"))->text(), QStringLiteral("    9.54"));
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("stats_bpsOut"))->text(), QStringLiteral("    0.00"));
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("stats_fps"))->text(), QStringLiteral("   59.94"));
    }

    // The box shows the stored choice; unticking it stores false at once, for the next start.
    void proxyModeChoice()
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.setValue(SettingsKeys::kProxyMode, true);
        s.sync();
        MainWindowProxy w;
        auto *box = w.findChild<QCheckBox *>(QStringLiteral("doProxy"));
        QVERIFY(box->isChecked());
        box->setChecked(false);
        QSettings fresh(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        QCOMPARE(fresh.value(SettingsKeys::kProxyMode).toBool(), false);
    }

    // Every relay event becomes "hh.mm.ss: text"; the view keeps the newest 5000 lines.
    void logView()
    {
        MainWindowProxy w;
        auto *view = w.findChild<QPlainTextEdit *>(QStringLiteral("statusLog"));
        QTRY_VERIFY(view->toPlainText().contains(QStringLiteral(": Server Listen: Ready")));
        for (int i = 0; i < MainWindowProxy::kLogLines + 10; ++i)
            emit w.proxy()->log(QStringLiteral("line %1").arg(i));
        const QStringList lines = view->toPlainText().split('\n');
        QCOMPARE(lines.size(), MainWindowProxy::kLogLines);
        QVERIFY(
            QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d: line 5009$")).match(lines.last()).hasMatch());
        QVERIFY(lines.first().endsWith(QStringLiteral(": line 10")));
        w.newStats(1250000, 262144, 59.94);
        w.show();
        const QImage picture = w.grab().toImage();
        QVERIFY(picture.save(ScreenImages::screenshotPath(QStringLiteral("relay-window"))));
    }

    // The program itself as the shipped service runs it (its environment, no display, own state
    // folder): with "ProxyMode" it opens the relay window, never the remote desktop, and relays;
    // without a key it says why it stays idle.
    void startsAsServiceOffscreen_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("key stored") << kKey << "Server Listen: Ready";
        QTest::newRow("no key") << QByteArray() << "No Radio Access File Set, Setup Failed";
    }
    void startsAsServiceOffscreen()
    {
        QFETCH(QByteArray, key);
        QFETCH(QString, expected);
        QFile unit(qEnvironmentVariable("VQ6020_SOURCE_DIR") +
                   QStringLiteral("/packaging/systemd/vq6020-relay.service"));
        QVERIFY(unit.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(unit.readAll()).split('\n');
        QVERIFY(lines.contains(QStringLiteral("Type=simple")));
        QVERIFY(lines.contains(QStringLiteral("Restart=on-failure")));
        QVERIFY(lines.contains(QStringLiteral("ExecStart=/usr/bin/VQ6020")));

        QTemporaryDir state, run;
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        for (QString line : lines.filter(QRegularExpression(QStringLiteral("^Environment=")))) {
            line = line.mid(12).replace(QStringLiteral("/var/lib/vq6020-relay"), state.path());
            line.replace(QStringLiteral("/run/vq6020-relay"), run.path());
            env.insert(line.section('=', 0, 0), line.section('=', 1));
        }
        QCOMPARE(env.value(QStringLiteral("QT_QPA_PLATFORM")), QStringLiteral("offscreen"));
        QSettings s(env.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/FernhollowLLC/VQ6020.conf"),
                    QSettings::IniFormat);
        s.setValue(SettingsKeys::kProxyMode, true);
        if (!key.isEmpty())
            s.setValue(SettingsKeys::kNetPsk, key);
        s.sync();

        QProcess app;
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.setProcessEnvironment(env);
        app.start(qEnvironmentVariable("VQ6020_APP"), QStringList());
        QByteArray out;
        QVERIFY(QTest::qWaitFor(
            [&] {
                out += app.readAll();
                return out.contains(expected.toUtf8()) || app.state() == QProcess::NotRunning;
            },
            10000));
        QTest::qWait(500);
        out += app.readAll();
        QCOMPARE(app.state(), QProcess::Running);
        app.terminate();
        QVERIFY(app.waitForFinished(5000));
        QVERIFY2(out.contains(expected.toUtf8()), out.constData());
        QVERIFY(!out.contains("State: "));
        QFile log(env.value(QStringLiteral("XDG_DATA_HOME")) + QStringLiteral("/VQ6020/log.txt"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(expected.toUtf8()));
    }
};

QTEST_MAIN(TestMainWindowProxy)
#include "tst_MainWindowProxy.moc"
