#include "ui/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

#include <cstdio>

#ifndef QZ_VERSION
#error "QZ_VERSION must name the project's version"
#endif

namespace qz {

namespace {

// QZ470_KEY_SINK's values in this build.
#ifdef QZ_HAVE_EI
constexpr const char* kKeySinks
    = "ei (the desktop's RemoteDesktop portal),\n"
      "                   xtest (the X server) or uinput (a virtual keyboard); unset, the way the\n"
      "                   session calls for";
#else
constexpr const char* kKeySinks
    = "xtest (through the X server) or\n"
      "                   uinput (a virtual keyboard); unset, the way the session calls for";
#endif

void PrintHelp()
{
    std::printf("Usage: qz470-tester [--help | --version] [Qt options, such as -platform NAME or -display DISPLAY]\n"
                "\n"
                "Shows which pad of a quiz-buzzer kit was pressed, in huge type on a full-screen window that\n"
                "stays on top, mirrored on a second monitor. Plug in the transceiver (USB 0003:1001 or\n"
                "0003:1003) and connect the second monitor before starting it. Exit, or Ctrl+Q, ends it.\n"
                "\n"
                "Options:\n"
                "  -h, --help       Print this help and exit\n"
                "  --version        Print the version and exit\n"
                "\n"
                "Environment:\n"
                "  QZ470_KEY_SINK   How \"Enable Keypress Events\" types: %s\n"
                "  QZ470_NO_NOTIFY  1: no desktop notifications (the lines on standard error stay)\n"
                "  QT_QPA_PLATFORM  Qt's platform plugin (unset: xcb, through Xwayland on a Wayland session)\n"
                "  DISPLAY          The X display to open\n"
                "\n"
                "Exit status: 0 when it ends normally; 1 on an error; 2 on a usage error.\n"
                "\n"
                "See man qz470-tester.\n",
        kKeySinks);
}

struct Options {
    QCommandLineParser parser;
    QCommandLineOption help {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Print this help and exit")};
    QCommandLineOption version {QStringLiteral("version"), QStringLiteral("Print the version and exit")};

    Options()
    {
        // Qt's options have one dash and a word (-platform): read them as
        // unknown long options, never as a cluster of short ones (-stylesheet
        // would hold -h).
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOption(help);
        parser.addOption(version);
    }
};

} // namespace

std::optional<int> AnswerHelpOrVersion(const QStringList& arguments)
{
    Options options;
    // Qt's options are unknown here, and their values look like arguments:
    // only whether ours were given counts.
    (void)options.parser.parse(arguments);
    if (options.parser.isSet(options.help)) {
        PrintHelp();
        return 0;
    }
    if (options.parser.isSet(options.version)) {
        std::printf("qz470-tester %s\n", QZ_VERSION);
        return 0;
    }
    return std::nullopt;
}

std::optional<int> RefuseLeftOverArguments(const QStringList& arguments)
{
    Options options;
    QString problem;
    if (!options.parser.parse(arguments)) {
        // Ours are answered before, so the first option is the unknown one:
        // quote it as it was typed, without a value.
        const QString typed = arguments.mid(1).filter(QRegularExpression(QStringLiteral("^-"))).value(0);
        problem = QStringLiteral("unknown option '%1'").arg(typed.section(QLatin1Char('='), 0, 0));
    } else if (!options.parser.positionalArguments().isEmpty()) {
        problem = QStringLiteral("unexpected argument '%1'").arg(options.parser.positionalArguments().constFirst());
    } else {
        return std::nullopt;
    }
    std::fprintf(stderr, "qz470-tester: %s. Try 'qz470-tester --help'.\n", qPrintable(problem));
    return 2;
}

} // namespace qz
