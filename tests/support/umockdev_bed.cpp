#include "umockdev_bed.h"

#include <umockdev.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qz::test {

std::vector<std::uint8_t> ReceiveAtMaster(int master, std::size_t count, std::chrono::milliseconds patience)
{
    std::vector<std::uint8_t> got;
    const auto until = std::chrono::steady_clock::now() + patience;
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
        pollfd look {master, POLLIN, 0};
        if (::poll(&look, 1, 50) == 1 && (look.revents & POLLIN) != 0) {
            std::uint8_t buffer[64];
            const ssize_t n = ::read(master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            }
        }
    }
    return got;
}

bool SendAtMaster(int master, const std::vector<std::uint8_t>& bytes)
{
    return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

HidTestBed::HidTestBed()
{
    // The emulation lives in a preloaded library that redirects /sys and /dev.
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr) {
        std::printf("SKIP: not running under umockdev-wrapper, so no HID device can be emulated\n");
        std::exit(77);
    }
    bed_ = umockdev_testbed_new();
    if (bed_ == nullptr) {
        std::printf("SKIP: umockdev could not make a test bed\n");
        std::exit(77);
    }
}

HidTestBed::~HidTestBed()
{
    g_object_unref(bed_);
}

EmulatedHid HidTestBed::Add(const std::string& usbPort, std::uint16_t vendor, std::uint16_t product,
    const std::vector<std::uint8_t>& descriptor, const std::string& hidrawName)
{
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", vendor, product, ++serial_);
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
    EmulatedHid hid;
    hid.hidSysPath = "/sys/devices/pci0000:00/usb1/" + usbPort + "/" + usbPort + ":1.0/" + hidName;
    hid.hidrawSysPath = hid.hidSysPath + "/hidraw/" + hidrawName;
    hid.node = "/dev/" + hidrawName;
    // Child first, then its parent, as umockdev's record format has them.
    const std::string records = "P: " + hid.hidrawSysPath.substr(4) + "\nN: " + hidrawName + "\nE: DEVNAME=" + hid.node
        + "\nE: SUBSYSTEM=hidraw\n\nP: " + hid.hidSysPath.substr(4) + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, records.c_str(), &error)) {
        std::printf("SKIP: umockdev refused the device: %s\n", error != nullptr ? error->message : "?");
        std::exit(77);
    }
    if (!descriptor.empty()) {
        // Binary: the descriptor holds zero bytes.
        std::vector<std::uint8_t> bytes = descriptor;
        umockdev_testbed_set_attribute_binary(bed_, hid.hidSysPath.c_str(), "report_descriptor",
            reinterpret_cast<guint8*>(bytes.data()), static_cast<gssize>(bytes.size()));
    }
    return hid;
}

int HidTestBed::Master(const EmulatedHid& hid)
{
    return umockdev_testbed_get_dev_fd(bed_, hid.node.c_str());
}

void HidTestBed::Unplug(const EmulatedHid& hid)
{
    // Removing alone leaves open descriptors working, so the test's end of
    // the PTY is replaced by /dev/null (the test bed still owns that
    // descriptor number): the node hangs up.
    const int master = Master(hid);
    umockdev_testbed_remove_device(bed_, hid.hidrawSysPath.c_str());
    umockdev_testbed_remove_device(bed_, hid.hidSysPath.c_str());
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (master >= 0 && null >= 0) {
        ::dup2(null, master);
    }
    if (null >= 0) {
        ::close(null);
    }
    // Removal leaves the node behind; a real unplug takes it away.
    ::unlink((Root() + hid.node).c_str());
}

std::string HidTestBed::NodeTarget(const EmulatedHid& hid) const
{
    char resolved[PATH_MAX];
    return ::realpath((Root() + hid.node).c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

void HidTestBed::OpenToOtherUsers() const
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(Root(),
        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec,
        error);
    for (auto it = fs::recursive_directory_iterator(Root(), error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (fs::is_symlink(status)) {
            continue;
        }
        // umockdev's preload library talks to the test bed through its sockets.
        const fs::perms add = fs::is_socket(status) ? fs::perms::others_read | fs::perms::others_write
            : fs::is_directory(status)              ? fs::perms::others_read | fs::perms::others_exec
                                                    : fs::perms::others_read;
        fs::permissions(it->path(), add, fs::perm_options::add, error);
    }
}

std::string HidTestBed::Root() const
{
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    std::string text(root);
    g_free(root);
    return text;
}

} // namespace qz::test
