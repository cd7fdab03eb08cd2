#pragma once

#include "link/hid_layer.h"
#include "link/open_failure.h"
#include "probe/core/exit_status.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz::probe {

// The report lengths of an interface learnt without opening it (from its
// report descriptor); false when they cannot be had.
using DescriptorLengths = std::function<bool(const std::string& path, HidLayer::ReportLengths& lengths)>;

// One HID interface as `list` shows it.
struct InterfaceEntry {
    HidLayer::Interface interface;
    bool transceiver = false;
    bool lengthsKnown = false;
    HidLayer::ReportLengths lengths;
    // Transceivers only (foreign interfaces are never opened): whether one
    // open succeeded, and if not, why.
    bool openable = false;
    std::optional<OpenFailure> failure;
};

// What `list` found. `device` is the node asked for, empty for all.
struct Survey {
    std::string device;
    std::vector<InterfaceEntry> entries; // enumeration order
    std::size_t otherCount = 0; // foreign interfaces left out of entries
    ExitStatus status = ExitStatus::NoTransceiver;
};

// Looks at the HID interfaces present (only the one at `device`, when
// given). Each transceiver is opened once, to learn whether we may, and
// closed again; its lengths come from the open node, or from its descriptor
// when it refuses. Foreign interfaces are never opened, and are listed only
// with `all` (or when asked for by node); otherwise they are counted.
Survey SurveyInterfaces(HidLayer& hid, const DescriptorLengths& lengthsOf, const std::string& device, bool all);

// The message lines for what `list` found wrong: each transceiver that would
// not open, in the link's own wording, and why no transceiver was found.
std::vector<std::string> DescribeSurveyProblems(const Survey& survey);

// A transceiver opened for watching or for LED commands.
struct OpenedTransceiver {
    HidLayer::Handle handle = HidLayer::kNoHandle;
    HidLayer::Interface interface;
    bool lengthsKnown = false;
    HidLayer::ReportLengths lengths;
    bool CmdModel() const;
};

// The outcome of the tester's search.
struct Selection {
    std::string device;
    std::optional<OpenedTransceiver> opened;
    std::vector<OpenFailure> failures; // transceivers that would not open, in order
    // With a device: the interface found at that node, if any.
    std::optional<HidLayer::Interface> atDevice;
    ExitStatus status = ExitStatus::NoTransceiver; // Success once opened
};

// The tester's search: the first transceiver in enumeration order that opens;
// with `device`, only the interface at that node, and only if it is a
// transceiver. Foreign interfaces are never opened.
Selection OpenTransceiver(HidLayer& hid, const std::string& device);

// The message lines (one per problem, each saying what to do) for a search:
// the transceivers that would not open, in the link's own wording, and when
// nothing was opened and that leaves nothing to fix, why no transceiver was
// found. A search that opened a transceiver past one that refused still
// tells of the refusal, as the tester does.
std::vector<std::string> DescribeSelection(const Selection& selection);

// True when two paths name the same node: equal, or the same file once
// symbolic links are followed (a udev symlink names the node it points to).
bool SameNode(const std::string& a, const std::string& b);

} // namespace qz::probe
