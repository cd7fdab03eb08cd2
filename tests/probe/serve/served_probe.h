#pragma once

// qz470-probe serve as the tests of serve run it: over a 0x1003 transceiver
// that umockdev emulates (the test runs under umockdev-wrapper), with the
// port and the token read from the lines it prints at start; and a client,
// a program on this computer, past its greeting.

#include "child_process.h"
#include "descriptor_files.h"
#include "raw_http.h"
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

// `serve` with the arguments, at the default port in a network of the test's
// own (`privateNetwork`), else at a free one.
inline ServedProbe StartServe(std::vector<std::string> arguments, bool privateNetwork)
{
    arguments.insert(arguments.begin(), {QZ_PROBE, "serve"});
    if (!privateNetwork) {
        arguments.insert(arguments.end(), {"--port", "0"});
    }
    ServedProbe served;
    served.process = ChildProcess::Start(arguments);
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

// A WebSocket of a program on this computer (no Origin), past its greeting;
// null when it could not be opened.
inline std::unique_ptr<RawConnection> OpenClient(std::uint16_t port, int receiveBuffer = 0)
{
    auto client = RawConnection::Open("127.0.0.1", port, receiveBuffer);
    if (!client || !client->Write(GetRequest("/ws", "127.0.0.1:" + std::to_string(port), std::nullopt, true))
        || client->ReadResponse().value_or(HttpResponse {}).status != 101 || !client->ReadFrame()) {
        return nullptr;
    }
    return client;
}

} // namespace qz::test
