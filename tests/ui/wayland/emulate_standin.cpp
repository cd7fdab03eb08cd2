// TEMPORARY: stands in for `qz470-probe emulate` until that command exists,
// with the part of its command language the Wayland test uses. Remove it then,
// and start `qz470-probe emulate` in its place.
//
// A 0x1003 transceiver made through /dev/uhid, with the model's own report
// descriptor. Commands on standard input, one a line: "PAD BUTTON" (BUTTON is
// a, b, c, d or buzz) sends the frame of that press; "end" or the end of
// input unplugs it. Every output report the host writes is printed as one
// line: its bytes in hex, without the report ID 0 that uhid passes along, and
// for an LED frame its reading ("LED short pad 7").
#include "kernel_descriptors.h"
#include "reports.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

namespace {

using qz::test::FrameKey;

bool Write(int fd, const uhid_event& event)
{
    return ::write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

// An LED frame: FA 08 01 pad 00 mode checksum AF, mode 0 to 3.
std::string Reading(const unsigned char* data, std::size_t size)
{
    static const char* const modes[] = {"off", "on", "short", "flash"};
    if (size != 8 || data[0] != 0xFA || data[1] != 0x08 || data[7] != 0xAF || data[5] > 3) {
        return "";
    }
    return std::string(" LED ") + modes[data[5]] + " pad " + std::to_string(data[3]);
}

void PrintOutput(const uhid_output_req& output)
{
    // The report ID 0 first, then the frame.
    const unsigned char* data = output.data;
    std::size_t size = output.size;
    if (size > 0 && data[0] == 0) {
        ++data;
        --size;
    }
    std::string line;
    char hex[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", data[i]);
        line += hex;
    }
    std::printf("%s%s\n", line.c_str(), Reading(data, size).c_str());
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::map<std::string, FrameKey> buttons {
        {"a", qz::test::kA}, {"b", qz::test::kB}, {"c", qz::test::kC}, {"d", qz::test::kD}, {"buzz", qz::test::kBuzz}};

    const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "emulate_standin: /dev/uhid: %s\n", std::strerror(errno));
        return 4;
    }
    uhid_event create {};
    create.type = UHID_CREATE2;
    std::strcpy(reinterpret_cast<char*>(create.u.create2.name), "QZ470 transceiver (emulated)");
    std::memcpy(create.u.create2.rd_data, qz::embedded::kTransceiver1003, sizeof qz::embedded::kTransceiver1003);
    create.u.create2.rd_size = sizeof qz::embedded::kTransceiver1003;
    create.u.create2.bus = 0x03; // USB
    create.u.create2.vendor = 0x0003;
    create.u.create2.product = 0x1003;
    if (!Write(fd, create)) {
        std::fprintf(stderr, "emulate_standin: cannot create the device: %s\n", std::strerror(errno));
        return 1;
    }

    std::string pending;
    for (;;) {
        pollfd fds[] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uhid_event event {};
            if (::read(fd, &event, sizeof event) > 0 && event.type == UHID_OUTPUT) {
                PrintOutput(event.u.output);
            }
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            break; // end of input: unplug
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::istringstream words(pending.substr(0, end));
            std::string first;
            std::string button;
            words >> first >> button;
            if (first == "end") {
                ::close(fd);
                return 0;
            }
            const auto key = buttons.find(button);
            int pad = 0;
            if (!(std::istringstream(first) >> pad) || pad < 1 || pad > 255 || key == buttons.end()) {
                std::fprintf(stderr, "emulate_standin: not understood: %s\n", pending.substr(0, end).c_str());
                continue;
            }
            uhid_event input {};
            input.type = UHID_INPUT2;
            const qz::ByteArray frame = qz::test::FrameData(pad, key->second);
            std::memcpy(input.u.input2.data, frame.data(), frame.size());
            input.u.input2.size = static_cast<std::uint16_t>(frame.size());
            Write(fd, input);
        }
    }
    ::close(fd); // closing /dev/uhid unplugs the device
    return 0;
}
