#pragma once

#include <QString>
#include <QStringList>

namespace velkaro {

// What the command line of velkaro-backup asks for. It is read before anything starts (no display, no
// socket, no file), so that --help and --version work anywhere and a typo never starts the application.
struct CommandLine
{
    enum class Action {
        run, // start, or hand the arguments over to the running instance
        help, // print the usage on stdout, exit 0
        version, // print the version on stdout, exit 0
        usageError, // print `problem` and the usage on stderr, exit 2
    };

    Action action = Action::run;
    QString problem;

    // `arguments` without the program path. Qt's own options (-platform NAME, -style NAME, ...) are
    // let through for QApplication; the resident switches and URLs are left to the delegate.
    static CommandLine parse(const QStringList &arguments);

    static QString usageText();
    static QString versionText();
};

} // namespace velkaro
