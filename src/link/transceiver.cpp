#include "link/transceiver.h"

#include "common/error.h"

#include <algorithm>
#include <string>

namespace qz {

namespace {

// While the transceiver is unplugged, look for it again every 10 ticks
// (300 ms): a cheap walk of the hidraw nodes that stops once it is back.
constexpr int kSearchEveryTicks = 10;
// udev applies the node's permissions a moment after the node appears; a
// node that refuses us is tried again for about 2 s before the user is told.
constexpr int kPermissionRetries = 7;

// cmd report (0x1001 model): report ID, the letters "cmd", the command code, 0.
constexpr std::size_t kCmdReportSize = 6;
constexpr std::size_t kCmdCodeIndex = 4;

// LED frame (0x1003 model), by ReportBuffer index.
constexpr std::size_t kFrameReportIdIndex = 0; // report ID, 0
constexpr std::size_t kFrameStartIndex = 1; // start byte 0xFA
constexpr std::size_t kFrameLengthIndex = 2; // length byte 8: the checksum is at index 7
constexpr std::size_t kFrameFixedIndex = 3; // 1
constexpr std::size_t kFramePadIndex = 4; // pad byte
constexpr std::size_t kFrameReservedIndex = 5; // 0
constexpr std::size_t kFrameModeIndex = 6; // LED mode
constexpr std::size_t kFrameChecksumIndex = 7; // XOR of indices 1 to 6
constexpr std::size_t kFrameEndIndex = 8; // end byte 0xAF
constexpr int kFrameStartByte = 0xFA;
constexpr int kFrameLengthByte = 8;
constexpr int kFrameEndByte = 0xAF;
// Pad byte for "no particular pad" (pad 0 or below).
constexpr int kFrameAllPadsByte = 80;

bool IsTransceiver(const HidLayer::Interface& candidate)
{
    return candidate.idsKnown && candidate.vendorId == Transceiver::kVendorId
        && (candidate.productId == Transceiver::kFrameModelProductId
            || candidate.productId == Transceiver::kCmdModelProductId);
}

} // namespace

Transceiver::Transceiver(HidLayer& hid, TimerLayer& timers, OpenFailureListener onOpenFailure)
    : hid_(hid)
    , timers_(timers)
    , onOpenFailure_(std::move(onOpenFailure))
    , alive_(std::make_shared<bool>(true))
{
    if (!Search(true)) {
        return; // Absent: no handle, no timer, nothing reported
    }
    timer_ = std::make_unique<SelfTimer>(timers_);
    timer_->SetTimerHandler([this](Seconds seconds) { Timer_Timer(seconds); });
    timer_->SetInterval(kPollIntervalMs);
    ready_ = true;
}

Transceiver::~Transceiver()
{
    *alive_ = false;
    if (timer_) {
        timer_->SetEnabled(false);
        timer_.reset();
    }
    CloseDevice();
}

void Transceiver::SetButtonPressedHandler(ButtonPressedHandler handler)
{
    onButtonPressed_ = std::move(handler);
}

bool Transceiver::Polling() const
{
    return timer_ && timer_->Enabled() && timer_->Running();
}

bool Transceiver::Search(bool reportFailures)
{
    bool denied = false;
    for (const HidLayer::Interface& candidate : hid_.Enumerate()) {
        // Vendor and product come from the enumeration: foreign interfaces are
        // passed over without being opened.
        if (!IsTransceiver(candidate)) {
            continue;
        }
        const HidLayer::OpenResult opened = hid_.Open(candidate.path);
        if (opened.status != HidLayer::OpenStatus::Opened) {
            // A transceiver that cannot be opened does not match; the search
            // goes on, and the user learns why.
            denied = denied || opened.status == HidLayer::OpenStatus::PermissionDenied;
            // One that vanished meanwhile needs no fix from the user.
            if (reportFailures && opened.status != HidLayer::OpenStatus::Gone) {
                ReportOpenFailure(
                    {candidate.path, candidate.vendorId, candidate.productId, opened.status, opened.errorCode});
            }
            continue;
        }
        OpenDevice(candidate, opened.handle);
        deniedAttempts_ = 0;
        return true;
    }
    deniedAttempts_ = denied ? deniedAttempts_ + 1 : 0;
    return false;
}

void Transceiver::OpenDevice(const HidLayer::Interface& candidate, HidLayer::Handle deviceHandle)
{
    deviceHandle_ = deviceHandle;
    devicePath_ = candidate.path;
    cmdModel_ = candidate.productId == kCmdModelProductId;
    // Without readable capabilities the lengths stay 0: a one-byte buffer
    // that never decodes, and no output report.
    caps_ = {};
    if (!hid_.GetReportLengths(deviceHandle_, caps_)) {
        caps_ = {};
    }
    reportBuffer_.assign(static_cast<std::size_t>(caps_.input) + 1, 0);
}

void Transceiver::CloseDevice()
{
    // Reads never wait, so none is outstanding: closing is all there is to do.
    if (deviceHandle_ != HidLayer::kNoHandle) {
        hid_.Close(deviceHandle_);
        deviceHandle_ = HidLayer::kNoHandle;
    }
}

void Transceiver::ReportOpenFailure(const OpenFailure& failure)
{
    if (reported_.insert(failure.path).second && onOpenFailure_) {
        onOpenFailure_(failure);
    }
}

void Transceiver::Timer_Timer(Seconds /*seconds*/)
{
    // No tick can arrive until the timer is enabled again, also while the
    // listener pumps the event loop.
    timer_->SetEnabled(false);

    if (deviceHandle_ == HidLayer::kNoHandle) {
        LostTick();
        timer_->SetEnabled(true);
        return;
    }

    const HidLayer::ReadResult result
        = hid_.ReadReport(deviceHandle_, std::span<std::uint8_t>(reportBuffer_.data(), caps_.input));
    switch (result.outcome) {
    case HidLayer::ReadOutcome::Report: {
        // The listener may destroy this object: after the event, touch
        // nothing of it unless it is still alive.
        const std::shared_ptr<bool> alive = alive_;
        AnnounceReport();
        if (!*alive) {
            return;
        }
        break;
    }
    case HidLayer::ReadOutcome::Nothing:
        break;
    case HidLayer::ReadOutcome::Gone:
        // Unplugged: let the node go and look for the transceiver's return.
        CloseDevice();
        ticksUntilSearch_ = 0;
        deniedAttempts_ = 0;
        break;
    case HidLayer::ReadOutcome::WaitFailed:
        // Polling ends for the life of the object; the timer stays disabled.
        // The handle stays open for the LED commands.
        return;
    }
    timer_->SetEnabled(true);
}

void Transceiver::AnnounceReport()
{
    TransceiverData TRData;
    TRData.Parse(reportBuffer_);
    if (TRData.Remote() == -1 || !onButtonPressed_) {
        return;
    }
    // A copy: the listener may replace itself or destroy this object.
    const ButtonPressedHandler handler = onButtonPressed_;
    handler(TRData);
}

void Transceiver::LostTick()
{
    if (ticksUntilSearch_ > 0) {
        --ticksUntilSearch_;
        return;
    }
    ticksUntilSearch_ = kSearchEveryTicks - 1;
    Search(deniedAttempts_ >= kPermissionRetries);
}

void Transceiver::LEDOff(std::int16_t Remote)
{
    SendLED(Command::Off, Remote);
}
void Transceiver::LEDOn(std::int16_t Remote)
{
    SendLED(Command::On, Remote);
}
void Transceiver::LEDOnShort(const std::int16_t& Remote)
{
    SendLED(Command::OnShort, Remote);
}
void Transceiver::LEDFlash(std::int16_t Remote)
{
    SendLED(Command::Flash, Remote);
}

void Transceiver::SendLED(Command command, std::int16_t Remote)
{
    if (!ready_) {
        return; // absent hardware is not an error
    }
    const int pad = Remote;

    if (cmdModel_) {
        // Command codes: pads 1-20 follow the base, pads 21 on skip six codes.
        // Pads of 0 or less get the command's own code (0 for LEDOnShort).
        struct Codes {
            int noPad;
            int base;
        };
        Codes codes {};
        switch (command) {
        case Command::On:
            codes = {201, 40};
            break;
        case Command::Flash:
            codes = {202, 80};
            break;
        case Command::Off:
            codes = {203, 120};
            break;
        case Command::OnShort:
            if (pad < 0) {
                return; // nothing is sent for a negative pad
            }
            codes = {0, 0};
            break;
        }
        ByteArray report {0, 'c', 'm', 'd', static_cast<std::uint8_t>(codes.noPad), 0};
        static_assert(kCmdReportSize == 6);
        if (pad >= 1) {
            const int code = codes.base + pad + (pad >= 21 ? 6 : 0);
            if (code > 255) {
                throw Error::Overflow("LED command code " + std::to_string(code) + " for pad " + std::to_string(pad));
            }
            report[kCmdCodeIndex] = static_cast<std::uint8_t>(code);
        }
        SendReport(report);
        return;
    }

    // The LED frame is built in ReportBuffer, index by index: a short buffer
    // fails at the first index past its end, an oversized value at its own.
    ByteArray& frame = reportBuffer_;
    const auto put = [&frame](std::size_t index, int value) {
        if (value < 0 || value > 255) {
            throw Error::Overflow("LED frame byte " + std::to_string(index) + " would be " + std::to_string(value));
        }
        if (index >= frame.size()) {
            throw Error::OutOfRange("LED frame index " + std::to_string(index) + " in a report buffer of "
                + std::to_string(frame.size()) + " bytes");
        }
        frame[index] = static_cast<std::uint8_t>(value);
    };
    int mode = 0;
    switch (command) {
    case Command::Off:
        mode = 0;
        break;
    case Command::On:
        mode = 1;
        break;
    case Command::OnShort:
        mode = 2;
        break;
    case Command::Flash:
        mode = 3;
        break;
    }
    put(kFrameReportIdIndex, 0);
    put(kFrameStartIndex, kFrameStartByte);
    put(kFrameLengthIndex, kFrameLengthByte);
    put(kFrameFixedIndex, 1);
    // A pad number that is a multiple of ten travels as the number minus ten.
    put(kFramePadIndex, pad > 0 ? (pad % 10 == 0 ? pad - 10 : pad) : kFrameAllPadsByte);
    put(kFrameReservedIndex, 0);
    put(kFrameModeIndex, mode);
    put(kFrameChecksumIndex, XorChecksum(static_cast<std::int16_t>(kFrameChecksumIndex - 1), frame));
    put(kFrameEndIndex, kFrameEndByte);
    SendReport(frame);
}

void Transceiver::SendReport(const ByteArray& report)
{
    // Unplugged, or a device without output reports: nothing to write to.
    if (deviceHandle_ == HidLayer::kNoHandle || caps_.output == 0) {
        return;
    }
    // Exactly the output report length: cut a longer array, pad a shorter one
    // with zeros rather than send what lies beyond it.
    ByteArray out(caps_.output, 0);
    std::copy_n(report.begin(), std::min(report.size(), out.size()), out.begin());
    // A failed write (an unplugged transceiver) is not an error of the command.
    hid_.WriteReport(deviceHandle_, out);
}

} // namespace qz
