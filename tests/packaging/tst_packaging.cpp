// The program as an installed desktop application: its command line run the way a shell
// runs it, and the tree `cmake --install` lays out, read and checked with the tools the
// distribution itself uses on such files.

#include "app/CommandLine.h"
#include "app/SettingsKeys.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kAppId = QStringLiteral("com.fernhollow.VQ6020");

struct Run {
    bool finished = false;
    int exitCode = -1;
    QString out, err;
};

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env, int timeoutMs = 15000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    r.finished = p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit;
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QString sourceDir()
{
    return qEnvironmentVariable("VQ6020_SOURCE_DIR");
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Checks one udev rules file with the udev of this machine. Newer udev has "verify"; the one of
// Debian 12 has not, but its "test" reads every rules file and names each line it rejects. It
// runs in a mount namespace of its own where the rules folders hold this file alone and
// /run/udev is private, so the machine's udev state is not touched.
QString udevReject(const QString &rulesFile, bool *checked)
{
    *checked = false;
    const QString udevadm = QStandardPaths::findExecutable(QStringLiteral("udevadm"));
    if (udevadm.isEmpty())
        return QStringLiteral("udevadm missing");
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (run(udevadm, {QStringLiteral("verify"), QStringLiteral("--help")}, env).exitCode == 0) {
        const Run r = run(udevadm, {QStringLiteral("verify"), rulesFile}, env);
        *checked = true;
        return r.exitCode == 0 ? QString() : r.out + r.err;
    }
    QTemporaryDir tmp;
    QDir(tmp.path()).mkpath(QStringLiteral("rules"));
    QDir(tmp.path()).mkpath(QStringLiteral("empty"));
    const QString name = QFileInfo(rulesFile).fileName();
    QFile::copy(rulesFile, tmp.filePath(QStringLiteral("rules/") + name));
    const QString script =
        QStringLiteral("mount -t tmpfs tmpfs /run/udev && mount --bind \"$1/rules\" /usr/lib/udev/rules.d && "
                       "mount --bind \"$1/empty\" /etc/udev/rules.d && "
                       "udevadm test --action=add /sys/class/net/lo 2>&1");
    const Run r = run(
        QStringLiteral("unshare"),
        {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"), tmp.path()},
        env);
    if (!r.out.contains(QStringLiteral("Reading rules file: /usr/lib/udev/rules.d/") + name))
        return QStringLiteral("no private mount namespace for udevadm test: ") + r.out + r.err;
    *checked = true;
    QStringList rejected;
    for (const QString &line : r.out.split(QLatin1Char('\n')))
        if (line.contains(name) && !line.startsWith(QStringLiteral("Reading rules file")))
            rejected << line;
    return rejected.join(QLatin1Char('\n'));
}

} // namespace

class tst_Packaging : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void qtOptionsReachQt_data();
    void qtOptionsReachQt();
    void udevRule_data();
    void udevRule();
    void installedTree();
    void desktopFilesValidate();
    void packageVersion();

private:
    QTemporaryDir m_prefix;
    QString m_installLog;
};

void tst_Packaging::initTestCase()
{
    QVERIFY(m_prefix.isValid());
    const Run r = run(QStringLiteral(CMAKE_COMMAND_PATH),
                      {QStringLiteral("--install"), qEnvironmentVariable("VQ6020_BINARY_DIR"),
                       QStringLiteral("--prefix"), m_prefix.path()},
                      QProcessEnvironment::systemEnvironment(), 30000);
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(r.out + r.err));
}

void tst_Packaging::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // pattern for standard output
    QTest::addColumn<QString>("err"); // pattern for standard error
    const QString version = QStringLiteral("^VQ6020 %1\\n$").arg(QRegularExpression::escape(AppInfo::kVersion));
    const QString usage = QStringLiteral("^Usage: VQ6020 \\[options\\]\\n.*--help.*--version");
    const QString none = QStringLiteral("^$");
    auto refused = [&](const QString &why) { return QStringLiteral("^VQ6020: %1\\n\\nUsage: VQ6020 ").arg(why); };
    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << none;
    QTest::newRow("-v") << QStringList{"-v"} << 0 << version << none;
    QTest::newRow("--help") << QStringList{"--help"} << 0 << usage << none;
    QTest::newRow("-h") << QStringList{"-h"} << 0 << usage << none;
    QTest::newRow("Qt's option before --version")
        << QStringList{"-style", "fusion", "--version"} << 0 << version << none;
    QTest::newRow("unknown long option") << QStringList{"--frobnicate"} << 2 << none
                                         << refused("Unknown option 'frobnicate'\\.");
    QTest::newRow("unknown short option") << QStringList{"-x"} << 2 << none << refused("Unknown option 'x'\\.");
    QTest::newRow("short options run together") << QStringList{"-hv"} << 2 << none << refused("Unknown option 'hv'\\.");
    QTest::newRow("unknown beside --version")
        << QStringList{"--version", "--frobnicate"} << 2 << none << refused("Unknown option 'frobnicate'\\.");
    QTest::newRow("an argument") << QStringList{"radio.conf"} << 2 << none
                                 << refused("Unexpected argument 'radio\\.conf'\\.");
    QTest::newRow("Qt's option without its value")
        << QStringList{"-platform"} << 2 << none << refused("Missing value after '-platform'\\.");
}

// Runs as from a terminal without a display, with a home of its own: the answer comes at once,
// and the home stays empty (no settings, no data folder, no log).
void tst_Packaging::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("HOME"), home.path());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        env.insert(QString::fromLatin1(name), home.filePath(QString::fromLatin1(name)));

    const Run r = run(qEnvironmentVariable("VQ6020_APP"), args, env);
    QVERIFY2(r.finished, "the program did not end by itself");
    QCOMPARE(r.exitCode, exitCode);
    const QRegularExpression::PatternOptions dotAll = QRegularExpression::DotMatchesEverythingOption;
    QVERIFY2(QRegularExpression(out, dotAll).match(r.out).hasMatch(), qPrintable(r.out));
    QVERIFY2(QRegularExpression(err, dotAll).match(r.err).hasMatch(), qPrintable(r.err));
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

void tst_Packaging::qtOptionsReachQt_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("-platform offscreen") << QStringList{"-platform", "offscreen"};
    QTest::newRow("-style=fusion") << QStringList{"-style=fusion"};
    QTest::newRow("--style fusion") << QStringList{"--style", "fusion"};
    QTest::newRow("-reverse") << QStringList{"-reverse"};
    QTest::newRow("-session, as a session manager restarts it") << QStringList{"-session", "1a2b3c"};
    QTest::newRow("-qwindowgeometry") << QStringList{"-qwindowgeometry", "800x600+0+0"};
    QTest::newRow("-display") << QStringList{"-display", ":1"};
}

// Options Qt takes out of the command line itself start the program; they are not refused.
void tst_Packaging::qtOptionsReachQt()
{
    QFETCH(QStringList, args);
    const CommandLine::Outcome outcome = CommandLine::parse(QStringList{QStringLiteral("VQ6020")} + args);
    QCOMPARE(outcome.action, CommandLine::Outcome::Run);
}

void tst_Packaging::udevRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("shipped rule") << readText(sourceDir() + QStringLiteral("/packaging/udev/60-vq6020.rules")) << true;
    // The same rule with a comparison written as an assignment: udev drops such a line.
    QTest::newRow("broken copy") << QStringLiteral("SUBSYSTEM=\"usb\", ATTR{idVendor}==\"0403\", TAG+=\"uaccess\"\n")
                                 << false;
}

void tst_Packaging::udevRule()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("60-vq6020.rules"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
    f.close();
    bool checked = false;
    const QString rejected = udevReject(path, &checked);
    if (!checked)
        QSKIP(qPrintable(rejected));
    QVERIFY2(rejected.isEmpty() == accepted, qPrintable(rejected));
    if (!accepted)
        return;

    // One rule names the unit's USB bridge and hands its node to the seat's user.
    bool found = false;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpression vendor(QStringLiteral("\\bATTRS?\\{idVendor\\}==\"0403\""));
        const QRegularExpression product(QStringLiteral("\\bATTRS?\\{idProduct\\}==\"6010\""));
        found = found || (line.contains(QStringLiteral("SUBSYSTEM==\"usb\"")) && vendor.match(line).hasMatch() &&
                          product.match(line).hasMatch() && line.contains(QStringLiteral("TAG+=\"uaccess\"")));
    }
    QVERIFY2(found, qPrintable(text));
}

// What a desktop finds after installation: both programs, each with its man page documenting
// every option its --help lists, the icon at every size, the rule where udev reads it, the
// example extension with the documentation.
void tst_Packaging::installedTree()
{
    const QDir root(m_prefix.path());
    const QStringList programs = QDir(root.filePath(QStringLiteral("bin"))).entryList(QDir::Files);
    QVERIFY2(programs.contains(QStringLiteral("VQ6020")) && programs.contains(QStringLiteral("vq6020-sim")),
             qPrintable(programs.join(QLatin1Char(' '))));
    for (const QString &program : programs) {
        const QString page = readText(root.filePath(QStringLiteral("share/man/man1/%1.1").arg(program)))
                                 .replace(QStringLiteral("\\-"), QStringLiteral("-"));
        QVERIFY2(!page.isEmpty(), qPrintable(program));
        QVERIFY(page.contains(QString::fromLatin1(AppInfo::kVersion)));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const Run help = run(root.filePath(QStringLiteral("bin/") + program), {QStringLiteral("--help")}, env);
        QVERIFY2(help.finished && help.exitCode == 0, qPrintable(help.err));
        QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral("--[a-z][a-z0-9-]*")).globalMatch(help.out);
        while (it.hasNext()) {
            const QString option = it.next().captured();
            const QRegularExpression word(QStringLiteral("(?<![\\w-])%1(?![\\w-])").arg(option));
            QVERIFY2(word.match(page).hasMatch(), qPrintable(program + QStringLiteral(": man page lacks ") + option));
        }
    }

    for (int size : {48, 128, 256}) {
        const QString path =
            root.filePath(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kAppId));
        const QImage icon(path);
        QCOMPARE(icon.size(), QSize(size, size));
        // A drawn icon: transparent around its outline, opaque inside it.
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(icon.pixel(size / 2, size * 3 / 4)), 255);
    }
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId))));
    // "uaccess" is acted on in 73-seat-late.rules: a rule that sorts after it would grant nothing.
    const QStringList rules = QDir(root.filePath(QStringLiteral("lib/udev/rules.d"))).entryList(QDir::Files);
    QCOMPARE(rules, QStringList{QStringLiteral("60-vq6020.rules")});
    for (const QString &rule : rules)
        QVERIFY2(rule < QStringLiteral("73-seat-late.rules"), qPrintable(rule));
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("share/doc/vq6020/examples/extension.qml"))));
}

// The desktop entry and the metainfo pass their validators, and point at what was installed.
void tst_Packaging::desktopFilesValidate()
{
    const QDir root(m_prefix.path());
    const QString desktop = root.filePath(QStringLiteral("share/applications/%1.desktop").arg(kAppId));
    const QString metainfo = root.filePath(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(kAppId));

    // Key=value lines; QSettings would read the ';' of a list as the start of a comment.
    QMap<QString, QString> entry;
    for (const QString &line : readText(desktop).split(QLatin1Char('\n')))
        if (line.contains(QLatin1Char('=')))
            entry.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("bin/") + entry.value(QStringLiteral("Exec")))));
    QCOMPARE(entry.value(QStringLiteral("Icon")), kAppId);
    QVERIFY(entry.value(QStringLiteral("Categories")).split(QLatin1Char(';')).contains(QStringLiteral("HamRadio")));

    const QString info = readText(metainfo);
    QVERIFY(info.contains(QStringLiteral("<release version=\"%1\"").arg(AppInfo::kVersion)));
    QVERIFY(info.contains(QStringLiteral("<launchable type=\"desktop-id\">%1.desktop<").arg(kAppId)));
    QVERIFY(info.contains(QStringLiteral("<screenshot type=\"default\">")));

    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList missing;
    if (QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        missing << QStringLiteral("desktop-file-validate (desktop-file-utils)");
    } else {
        const Run r = run(QStringLiteral("desktop-file-validate"), {desktop}, env);
        QVERIFY2(r.exitCode == 0 && r.out.isEmpty(), qPrintable(r.out + r.err));
    }
    if (QStandardPaths::findExecutable(QStringLiteral("appstreamcli")).isEmpty()) {
        missing << QStringLiteral("appstreamcli (appstream)");
    } else {
        const Run r = run(QStringLiteral("appstreamcli"),
                          {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo}, env);
        QVERIFY2(r.exitCode == 0 &&
                     !r.out.contains(QRegularExpression(QStringLiteral("^[EW]:"), QRegularExpression::MultilineOption)),
                 qPrintable(r.out + r.err));
    }
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + missing.join(QStringLiteral(", "))));
}

// The Debian package is built from the same release the program reports.
void tst_Packaging::packageVersion()
{
    const QString changelog = readText(sourceDir() + QStringLiteral("/debian/changelog"));
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^vq6020 \\(([^)]+)\\)")).match(changelog);
    QVERIFY2(m.hasMatch(), qPrintable(changelog.left(200)));
    QCOMPARE(m.captured(1), QString::fromLatin1(AppInfo::kVersion));
}

QTEST_GUILESS_MAIN(tst_Packaging)
#include "tst_packaging.moc"
