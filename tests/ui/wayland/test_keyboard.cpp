// A keyboard of the test's own, made through the kernel's uinput, for what a
// person does at the keyboard: Tab and Space to tick the tester's boxes. It
// reads key names from standard input, one a line (tab, space, enter,
// escape), presses and releases each, and ends at the end of input.
//
// It prints "ready" once the compositor has had time to add it (a keyboard
// that exists before the compositor starts is found at once), and "sent NAME"
// after each key, so that a script can wait for both.
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <thread>

int main()
{
    using namespace std::chrono_literals;
    const std::map<std::string, unsigned> keys {
        {"tab", KEY_TAB}, {"space", KEY_SPACE}, {"enter", KEY_ENTER}, {"escape", KEY_ESC}};

    const int fd = ::open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "test_keyboard: /dev/uinput: %s\n", std::strerror(errno));
        return 1;
    }
    libevdev* description = libevdev_new();
    libevdev_set_name(description, "QZ470 test keyboard");
    libevdev_set_id_bustype(description, BUS_VIRTUAL);
    libevdev_enable_event_type(description, EV_KEY);
    // The whole main block, so that udev and the compositor take it for a
    // full keyboard.
    for (unsigned code = KEY_ESC; code <= KEY_COMPOSE; ++code) {
        libevdev_enable_event_code(description, EV_KEY, code, nullptr);
    }
    libevdev_uinput* device = nullptr;
    const int error = libevdev_uinput_create_from_device(description, fd, &device);
    libevdev_free(description);
    if (error != 0) {
        std::fprintf(stderr, "test_keyboard: cannot make the device: %s\n", std::strerror(-error));
        return 1;
    }
    std::this_thread::sleep_for(1s);
    std::cout << "ready" << std::endl;

    std::string name;
    while (std::getline(std::cin, name)) {
        const auto key = keys.find(name);
        if (key == keys.end()) {
            std::fprintf(stderr, "test_keyboard: no key \"%s\"\n", name.c_str());
            continue;
        }
        for (const int value : {1, 0}) {
            libevdev_uinput_write_event(device, EV_KEY, key->second, value);
            libevdev_uinput_write_event(device, EV_SYN, SYN_REPORT, 0);
            std::this_thread::sleep_for(30ms);
        }
        // A moment for the window to act on the key before the next one.
        std::this_thread::sleep_for(200ms);
        std::cout << "sent " << name << std::endl;
    }
    libevdev_uinput_destroy(device);
    ::close(fd);
    return 0;
}
