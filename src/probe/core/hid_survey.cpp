#include "probe/core/hid_survey.h"

#include "link/transceiver.h"
#include "probe/core/message.h"

#include <filesystem>
#include <system_error>

namespace qz::probe {

namespace {

// A transceiver that would not open: permission or another reason needs the
// user; one that vanished meanwhile does not.
ExitStatus StatusOfFailures(const std::vector<OpenFailure>& failures)
{
    for (const OpenFailure& failure : failures) {
        if (failure.status != HidLayer::OpenStatus::Gone) {
            return ExitStatus::NotOpenable;
        }
    }
    return ExitStatus::NoTransceiver;
}

OpenFailure FailureOf(const HidLayer::Interface& candidate, const HidLayer::OpenResult& opened)
{
    return {candidate.path, candidate.vendorId, candidate.productId, opened.status, opened.errorCode};
}

std::string NotATransceiver(const HidLayer::Interface& interface)
{
    const std::string ids = interface.idsKnown ? UsbIds(interface.vendorId, interface.productId) : "USB IDs unknown";
    return Message(interface.path + " is not a transceiver (" + ids
        + "), so it was not opened. Run 'qz470-probe list' to see the transceivers present.");
}

std::string NoInterfaceAt(const std::string& device)
{
    return Message(
        "there is no HID interface at " + device + ". Run 'qz470-probe list --all' to see the interfaces present.");
}

// One line per open failure in the link's wording, then, when that leaves
// nothing to fix, why no transceiver was found.
std::vector<std::string> ProblemLines(const std::vector<OpenFailure>& failures, ExitStatus status,
    const std::string& device, const std::optional<HidLayer::Interface>& atDevice)
{
    std::vector<std::string> lines;
    for (const OpenFailure& failure : failures) {
        // Beside a transceiver in use, one that vanished needs no word.
        if (status != ExitStatus::Success || failure.status != HidLayer::OpenStatus::Gone) {
            lines.push_back(DescribeOpenFailure(failure, kProgramName));
        }
    }
    if (status != ExitStatus::NoTransceiver) {
        return lines;
    }
    if (device.empty()) {
        lines.push_back(DescribeNoTransceiver(kProgramName));
    } else if (!atDevice) {
        lines.push_back(NoInterfaceAt(device));
    } else if (!Transceiver::IsTransceiver(*atDevice)) {
        lines.push_back(NotATransceiver(*atDevice));
    }
    return lines;
}

} // namespace

bool SameNode(const std::string& a, const std::string& b)
{
    if (a == b) {
        return true;
    }
    // The same file once links are followed (the same device and inode).
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

bool OpenedTransceiver::CmdModel() const
{
    return interface.productId == Transceiver::kCmdModelProductId;
}

Survey SurveyInterfaces(HidLayer& hid, const DescriptorLengths& lengthsOf, const std::string& device, bool all)
{
    Survey survey;
    survey.device = device;
    std::vector<OpenFailure> failures;
    bool anyTransceiver = false;
    bool anyOpenable = false;
    for (const HidLayer::Interface& interface : hid.Enumerate()) {
        const bool asked = !device.empty() && SameNode(interface.path, device);
        if (!device.empty() && !asked) {
            continue;
        }
        InterfaceEntry entry;
        entry.interface = interface;
        entry.transceiver = Transceiver::IsTransceiver(interface);
        if (!entry.transceiver && !all && !asked) {
            ++survey.otherCount;
            continue;
        }
        if (entry.transceiver) {
            anyTransceiver = true;
            const HidLayer::OpenResult opened = hid.Open(interface.path);
            entry.openable = opened.status == HidLayer::OpenStatus::Opened;
            if (entry.openable) {
                entry.lengthsKnown = hid.GetReportLengths(opened.handle, entry.lengths);
                hid.Close(opened.handle);
                anyOpenable = true;
            } else {
                entry.failure = FailureOf(interface, opened);
                failures.push_back(*entry.failure);
            }
        }
        // Anyone may read a descriptor: lengths also for nodes we may not open.
        if (!entry.lengthsKnown && lengthsOf) {
            entry.lengthsKnown = lengthsOf(interface.path, entry.lengths);
        }
        if (!entry.lengthsKnown) {
            entry.lengths = {};
        }
        survey.entries.push_back(std::move(entry));
    }
    if (anyOpenable) {
        survey.status = ExitStatus::Success;
    } else if (anyTransceiver) {
        survey.status = StatusOfFailures(failures);
    } else {
        survey.status = ExitStatus::NoTransceiver;
    }
    return survey;
}

Selection OpenTransceiver(HidLayer& hid, const std::string& device)
{
    Selection selection;
    selection.device = device;
    for (const HidLayer::Interface& candidate : hid.Enumerate()) {
        if (!device.empty()) {
            if (!SameNode(candidate.path, device)) {
                continue;
            }
            selection.atDevice = candidate;
        }
        if (!Transceiver::IsTransceiver(candidate)) {
            continue; // never opened
        }
        const HidLayer::OpenResult opened = hid.Open(candidate.path);
        if (opened.status != HidLayer::OpenStatus::Opened) {
            selection.failures.push_back(FailureOf(candidate, opened));
            continue;
        }
        OpenedTransceiver transceiver;
        transceiver.handle = opened.handle;
        transceiver.interface = candidate;
        transceiver.lengthsKnown = hid.GetReportLengths(opened.handle, transceiver.lengths);
        if (!transceiver.lengthsKnown) {
            transceiver.lengths = {};
        }
        selection.opened = transceiver;
        selection.status = ExitStatus::Success;
        return selection;
    }
    selection.status = StatusOfFailures(selection.failures);
    return selection;
}

std::vector<std::string> DescribeSelection(const Selection& selection)
{
    return ProblemLines(selection.failures, selection.status, selection.device, selection.atDevice);
}

std::vector<std::string> DescribeSurveyProblems(const Survey& survey)
{
    std::vector<OpenFailure> failures;
    std::optional<HidLayer::Interface> atDevice;
    for (const InterfaceEntry& entry : survey.entries) {
        if (entry.failure) {
            failures.push_back(*entry.failure);
        }
        if (!survey.device.empty()) {
            atDevice = entry.interface;
        }
    }
    return ProblemLines(failures, survey.status, survey.device, atDevice);
}

} // namespace qz::probe
