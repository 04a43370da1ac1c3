#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The client's command line. The program is meant to be started without arguments: it
// understands --help and --version, passes Qt's own options (-platform, -style, ...) on to
// Qt, and refuses everything else. Nothing here reads or changes stored settings.
namespace CommandLine {

struct Outcome {
    enum Action { Run, ShowHelp, ShowVersion, Refuse };
    Action action = Run;
    // ShowHelp, ShowVersion: the text for standard output; Refuse: the text for standard error.
    QString text;
    int exitCode = 0;
};

// The usage text --help prints and a refused command line repeats.
QString usage();

// Reads the arguments (the first is the program itself). Needs no application object, so it
// can run before anything opens a display, a settings store or the data folder.
Outcome parse(const QStringList &arguments);

// parse() over main()'s arguments, with its text printed. Returns the exit code when the
// program ends here, or nothing when it should start.
std::optional<int> handle(int argc, char *argv[]);

} // namespace CommandLine
