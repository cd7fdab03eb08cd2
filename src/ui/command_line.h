#pragma once

#include <QStringList>

#include <optional>

namespace qz {

// The tester's own command line: --help and --version, nothing else. Qt's
// options (-platform, -display, -style, ...) belong to QApplication, which
// takes them out of the arguments it is given.

// --help or --version among `arguments` (argv as given, Qt's options still
// in it): prints the help or the version on standard output and returns 0,
// the status to end with. Needs no display and no application object, so
// that it answers where the window could never open. Otherwise nullopt.
std::optional<int> AnswerHelpOrVersion(const QStringList& arguments);

// What is left of argv once QApplication has taken Qt's options: anything
// there is no option of ours or Qt's. One line on standard error and 2, the
// status of a usage error; nullopt when nothing is left.
std::optional<int> RefuseLeftOverArguments(const QStringList& arguments);

} // namespace qz
