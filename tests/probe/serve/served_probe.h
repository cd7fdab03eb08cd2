#pragma once

// qz470-probe serve as the tests of serve run it: over a 0x1003 transceiver
// that umockdev emulates (the test runs under umockdev-wrapper), with the
// port and the token read from the line it prints at start.

#include "child_process.h"
#include "descriptor_files.h"
#include "umockdev_bed.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz::test {

struct ServedProbe {
    std::unique_ptr<ChildProcess> process;
    std::uint16_t port = 0; // 0: it did not start
    std::string token; // with --listen
    std::vector<std::string> out; // lines of standard output read meanwhile
};

inline EmulatedHid AddFrameTransceiver(HidTestBed& bed)
{
    return bed.Add("1-2", 0x0003, 0x1003, testdata::LoadNamedDescriptor("transceiver_1003").bytes, "hidraw1");
}

inline ServedProbe StartServe(const std::vector<std::string>& arguments, const ChildOptions& options = {})
{
    std::vector<std::string> argv {QZ_PROBE, "serve"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ServedProbe served;
    served.process = ChildProcess::Start(argv, options);
    const std::string local = "http://127.0.0.1:";
    const bool listen = std::find(arguments.begin(), arguments.end(), "--listen") != arguments.end();
    for (int i = 0; served.process && i < 100; ++i) {
        const std::string& err = served.process->Stderr();
        const std::size_t at = err.find(local);
        const std::size_t token = err.find("?token=");
        if (at != std::string::npos && (!listen || token != std::string::npos)
            && err.find('\n', std::max(at, listen ? token : 0)) != std::string::npos) {
            served.port = static_cast<std::uint16_t>(std::stoi(err.substr(at + local.size())));
            served.token = listen ? err.substr(token + 7, 32) : std::string();
            break;
        }
        if (const auto line = served.process->ReadLine(std::chrono::milliseconds(200))) {
            served.out.push_back(*line);
        }
    }
    return served;
}

} // namespace qz::test
