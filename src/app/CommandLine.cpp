#include "app/CommandLine.h"

#include "app/SettingsKeys.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>

namespace {

// Options QGuiApplication, QApplication and the X11 platform plugin take out of the command
// line themselves. They are accepted here, unlisted, and left in argv for Qt to consume.
const char *const kQtOptionsWithValue[] = {
    "platform",      "platformpluginpath",
    "platformtheme", "plugin",
    "qmljsdebugger", "qwindowgeometry",
    "qwindowicon",   "qwindowtitle",
    "session",       "display",
    "geometry",      "title",
    "icon",          "name",
    "style",         "stylesheet",
};
const char *const kQtFlags[] = {"reverse", "widgetcount", "sync", "nograb", "dograb"};

CommandLine::Outcome refuse(const QString &reason)
{
    return {CommandLine::Outcome::Refuse,
            QStringLiteral("%1: %2\n\n%3").arg(QLatin1String(AppInfo::kProgram), reason, CommandLine::usage()), 2};
}

} // namespace

QString CommandLine::usage()
{
    return QStringLiteral("Usage: %1 [options]\n"
                          "Remote desktop for the VQ6020 unit of an IC-7300 transceiver: finds the unit on the\n"
                          "network, shows the radio's screen with its front panel, and sends keys, touches and\n"
                          "dial turns to the radio.\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help     Show this help and exit.\n"
                          "  -v, --version  Show the version and exit.\n"
                          "\n"
                          "Qt's own options (-platform, -style, -display, ...) are passed on to Qt. Everything\n"
                          "else, relay mode included, is set in the program and kept in its settings.\n"
                          "Without a unit, try it with the simulated one: vq6020-sim --provision-client\n")
        .arg(QLatin1String(AppInfo::kProgram));
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's options are single-dash words ("-style fusion"); read them as such, not as "-s -t -y ...".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);
    for (const char *name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(help))
        return {Outcome::ShowHelp, usage(), 0};
    if (parser.isSet(version))
        return {Outcome::ShowVersion,
                QStringLiteral("%1 %2\n").arg(QLatin1String(AppInfo::kProgram), QLatin1String(AppInfo::kVersion)), 0};
    return {};
}

std::optional<int> CommandLine::handle(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Outcome outcome = parse(arguments);
    if (outcome.action == Outcome::Run)
        return std::nullopt;
    std::FILE *stream = outcome.action == Outcome::Refuse ? stderr : stdout;
    std::fputs(outcome.text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
    return outcome.exitCode;
}
