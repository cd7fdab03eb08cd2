#include "probe/cli.h"

#include "link/hidraw/hidraw_layer.h"
#include "probe/check/check_command.h"
#include "probe/check/kit_check.h"
#include "probe/core/exit_status.h"
#include "probe/core/led_request.h"
#include "probe/core/message.h"
#include "probe/core/round_ranking.h"
#include "probe/emulate/emulate_command.h"
#include "probe/led/led_command.h"
#include "probe/list/list_command.h"
#include "probe/serve/access_rules.h"
#include "probe/serve/serve_command.h"
#include "probe/watch/watch_command.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#ifndef QZ_VERSION
#error "QZ_VERSION must name the project's version"
#endif

namespace qz::probe {

namespace {

constexpr const char* kFooter = "Exit status: 0 success; 1 the command failed; 2 usage error; 3 no transceiver found; "
                                "4 a transceiver found but not openable.";

void AddCommonOptions(CLI::App& command, CommonOptions& common)
{
    command
        .add_option("--device", common.device,
            "Use the transceiver at this hidraw node (default: the first one "
            "found, in the order the tester searches)")
        ->option_text("NODE");
    command.add_flag("--json", common.json, "Print JSON for scripts, one object per line");
    // --version also after the command's name.
    command.fallthrough();
    command.footer(kFooter);
}

// --round-button of watch and serve, checked as it is read.
void AddRoundButtonOption(CLI::App& command, std::string& roundButton)
{
    command
        .add_option("--round-button", roundButton,
            "Rank only presses of this button in a round: BUZZ, A, B, C or D (default: any of them)")
        ->option_text("BUTTON")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return ParseRoundButton(text) ? std::string() : "'" + text + "' is none of BUZZ, A, B, C and D";
            },
            "BUTTON"));
}

// CLI11's messages may span lines; ours are one line each.
std::string OneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

} // namespace

int RunProbe(int argc, char** argv)
{
    // A reader that goes away (qz470-probe watch | head) shows as a failed
    // write, which ends the command quietly, rather than as a fatal signal.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app("Finds the quiz-buzzer transceiver, shows its reports as they arrive and lights its pads' LEDs.",
        std::string(kProgramName));
    app.set_version_flag("--version", std::string(kProgramName) + " " + QZ_VERSION, "Print the version and exit");
    app.footer(kFooter);

    CommonOptions common;
    bool all = false;
    std::string action;
    std::string padText;

    CLI::App* list = app.add_subcommand("list",
        "Show every transceiver: node, model, report lengths, and whether "
        "it can be opened (and if not, why)");
    AddCommonOptions(*list, common);
    list->add_flag("--all", all, "List the other HID interfaces too (never opened)");

    CLI::App* watch = app.add_subcommand("watch",
        "Print every input report the moment it arrives, decoded; Enter (or "
        "SIGUSR1) ranks the round's first presses; Ctrl+C ends");
    AddCommonOptions(*watch, common);
    WatchOptions watchOptions;
    std::string roundButton;
    AddRoundButtonOption(*watch, roundButton);

    CLI::App* check = app.add_subcommand("check",
        "Test a whole kit on a full-terminal grid: which pads and buttons have been seen; q ends and prints "
        "the table");
    AddCommonOptions(*check, common);
    CheckOptions checkOptions;
    check
        ->add_option("--pads", checkOptions.pads,
            "The kit's pads are 1 to N (1 to " + std::to_string(kMaxPads) + ", default " + std::to_string(kDefaultPads)
                + ")")
        ->option_text("N")
        ->check(CLI::Range(1, kMaxPads));
    check->add_flag("--light", checkOptions.light,
        "Light each pad's LED (LEDOn) when it is first seen, and switch off every one lit (LEDOff) at the end");

    CLI::App* led = app.add_subcommand("led", "Send an LED command to one pad, or to all, with the tester's bytes");
    AddCommonOptions(*led, common);
    led->add_option("ACTION", action, "on, off, flash or short (LEDOn, LEDOff, LEDFlash, LEDOnShort)")
        ->required()
        ->check(CLI::IsMember({"on", "off", "flash", "short"}));
    led->add_option("PAD", padText, "The pad number, -32768 to 32767, or all (pad 0: no particular pad)")
        ->required()
        ->check(CLI::Validator(
            [](const std::string& text) {
                return ParsePad(text) ? std::string()
                                      : "'" + text + "' is neither all nor a whole number from -32768 to 32767";
            },
            "PAD"));

    // ---- emulate ----
    EmulateOptions emulateOptions;
    std::string modelText;
    CLI::App* emulate = app.add_subcommand("emulate",
        "Be a transceiver through /dev/uhid (root only): presses typed or from a script, or a replayed watch "
        "recording; prints every output report the host sends, decoded");
    emulate
        ->add_option("--model", modelText,
            "The model to be: 1001 or 1003 (default: 1003, or with --replay "
            "the model the recording names)")
        ->option_text("1001|1003")
        ->check(CLI::IsMember({"1001", "1003", "0x1001", "0x1003"}));
    CLI::Option* script = emulate
                              ->add_option("--script", emulateOptions.script,
                                  "Run the commands of FILE, one a line, once a program has the transceiver open")
                              ->option_text("FILE");
    CLI::Option* replay = emulate
                              ->add_option("--replay", emulateOptions.replay,
                                  "Play back a recording of 'qz470-probe watch --json' at its recorded times")
                              ->option_text("FILE");
    script->excludes(replay);
    emulate->add_option("--speed", emulateOptions.speed, "With --replay: divide the recorded gaps by F (default 1)")
        ->option_text("F")
        ->needs(replay)
        ->check(CLI::Validator(
            [](const std::string& text) {
                char* end = nullptr;
                const double value = std::strtod(text.c_str(), &end);
                return !text.empty() && *end == '\0' && std::isfinite(value) && value > 0
                    ? std::string()
                    : "'" + text + "' is not a speed: give a number above 0, for example 2 or 0.5";
            },
            "F"));
    emulate->fallthrough();
    emulate->footer("Exit status: 0 success (the run ended: end, end of the script or of input, Ctrl+C); 1 the "
                    "command failed (no /dev/uhid, or the kernel refused the transceiver); 2 usage error, also a bad "
                    "line in a file; 4 no access to /dev/uhid (run it with sudo).");

    // ---- serve ----
    ServeOptions serveOptions;
    int servePort = kDefaultServePort;
    std::string serveRoundButton;
    std::vector<std::string> allowOrigins;
    CLI::App* serve = app.add_subcommand("serve",
        "Serve the presses on a local WebSocket, with a page that shows them at http://127.0.0.1:8470; LED "
        "commands and rounds come back from the page or any program");
    serve
        ->add_option("--port", servePort,
            "Listen at this port (default " + std::to_string(kDefaultServePort) + "; 0: a free one, printed at start)")
        ->option_text("PORT")
        ->check(CLI::Range(0, 65535));
    serve
        ->add_option("--listen", serveOptions.listen,
            "Listen on this address of the computer too, such as on a classroom network; requests from there need "
            "the token printed at start")
        ->option_text("ADDRESS");
    serve
        ->add_option("--allow-origin", allowOrigins,
            "Let pages from this origin connect too, such as https://quiz.example.org (may be repeated)")
        ->option_text("ORIGIN")
        ->check(CLI::Validator([](const std::string& text) { return ParseAllowedOrigin(text).problem; }, "ORIGIN"));
    AddRoundButtonOption(*serve, serveRoundButton);
    serve->add_flag("--log", serveOptions.log,
        "Print on standard output, as JSON Lines, every event sent, and each client and command");
    serve
        ->add_option("--device", serveOptions.device,
            "Use the transceiver at this hidraw node (default: the first one "
            "found, in the order the tester searches)")
        ->option_text("NODE");
    serve->fallthrough();
    serve->footer(std::string(kFooter) + " For serve, 1 also when it cannot listen (the port is in use, say).");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const auto parsed = app.get_subcommands();
        const std::string help
            = std::string(kProgramName) + (parsed.empty() ? "" : " " + parsed.front()->get_name()) + " --help";
        std::fprintf(stderr, "%s\n", Message(OneLine(e.what()) + ". Try '" + help + "'.").c_str());
        return ToInt(ExitStatus::Usage);
    }
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "%s\n",
            Message("say what to do: list, watch, check, led, emulate or serve. Try 'qz470-probe --help'.").c_str());
        return ToInt(ExitStatus::Usage);
    }

    try {
        Output output = Output::ForProcess();
        if (emulate->parsed()) {
            if (!modelText.empty()) {
                emulateOptions.model = static_cast<std::uint16_t>(std::stoul(modelText, nullptr, 16));
            }
            return RunEmulate(emulateOptions, output);
        }
        HidrawLayer hid;
        if (list->parsed()) {
            return RunList(common, all, hid, output);
        }
        if (watch->parsed()) {
            if (!roundButton.empty()) {
                watchOptions.roundButton = ParseRoundButton(roundButton);
            }
            return RunWatch(common, hid, output, std::chrono::steady_clock::now(), watchOptions);
        }
        if (serve->parsed()) {
            serveOptions.port = static_cast<std::uint16_t>(servePort);
            if (!serveRoundButton.empty()) {
                serveOptions.roundButton = ParseRoundButton(serveRoundButton);
            }
            for (const std::string& origin : allowOrigins) {
                serveOptions.allowedOrigins.push_back(*ParseAllowedOrigin(origin).origin);
            }
            return RunServe(serveOptions, hid, output, std::chrono::steady_clock::now());
        }
        if (check->parsed()) {
            return RunCheck(common, checkOptions, hid, output);
        }
        return RunLed(common, *ParseLedAction(action), *ParsePad(padText), hid, output);
    } catch (const std::exception& e) {
        // Nothing above expects one; still, one line and a status.
        std::fprintf(stderr, "%s\n", Message(OneLine(e.what()) + ".").c_str());
        return ToInt(ExitStatus::Failed);
    }
}

} // namespace qz::probe
