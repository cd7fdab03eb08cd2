#include "link/transceiver.h"

#include <string>
#include <vector>

namespace qz {

namespace {

// While the transceiver is unplugged, look for it again every 10 ticks: a
// cheap walk of the hidraw nodes that stops once it is back.
constexpr int kSearchEveryTicks = Transceiver::kSearchIntervalMs / Transceiver::kPollIntervalMs;

} // namespace

bool Transceiver::IsTransceiver(const HidLayer::Interface& candidate)
{
    return candidate.idsKnown && candidate.vendorId == kVendorId
        && (candidate.productId == kFrameModelProductId || candidate.productId == kCmdModelProductId);
}

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
    bool found = false;
    std::vector<OpenFailure> failures;
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
                // Once constructed, the link searches only after an unplug,
                // and goes on until a transceiver opens.
                failures.push_back(
                    {candidate.path, candidate.vendorId, candidate.productId, opened.status, opened.errorCode, ready_});
            }
            continue;
        }
        OpenDevice(candidate, opened.handle);
        found = true;
        break;
    }
    deniedAttempts_ = denied && !found ? deniedAttempts_ + 1 : 0;
    // Told once the search is over, when it is known whether a transceiver
    // opened after all.
    ReportOpenFailures(failures, found);
    return found;
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

void Transceiver::ReportOpenFailures(const std::vector<OpenFailure>& failures, bool opened)
{
    std::vector<OpenFailure> untold;
    for (const OpenFailure& failure : failures) {
        if (reported_.insert(failure.path).second) {
            untold.push_back(failure);
        }
    }
    if (!untold.empty() && onOpenFailure_) {
        onOpenFailure_(untold, opened);
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
    SendLED(LedCommand::Off, Remote);
}
void Transceiver::LEDOn(std::int16_t Remote)
{
    SendLED(LedCommand::On, Remote);
}
void Transceiver::LEDOnShort(const std::int16_t& Remote)
{
    SendLED(LedCommand::OnShort, Remote);
}
void Transceiver::LEDFlash(std::int16_t Remote)
{
    SendLED(LedCommand::Flash, Remote);
}

void Transceiver::SendLED(LedCommand command, std::int16_t Remote)
{
    if (!ready_) {
        return; // absent hardware is not an error
    }
    if (cmdModel_) {
        // The cmd report has an array of its own.
        ByteArray report(kCmdReportSize, 0);
        if (WriteLedReport(command, Remote, LedFormat::CmdReport, report) != 0) {
            SendReport(report);
        }
        return;
    }
    // The LED frame is built in ReportBuffer; the next read overwrites it.
    WriteLedReport(command, Remote, LedFormat::LedFrame, reportBuffer_);
    SendReport(reportBuffer_);
}

void Transceiver::SendReport(const ByteArray& report)
{
    // Unplugged, or a device without output reports: nothing to write to.
    if (deviceHandle_ == HidLayer::kNoHandle || caps_.output == 0) {
        return;
    }
    // A failed write (an unplugged transceiver) is not an error of the command.
    hid_.WriteReport(deviceHandle_, FitToOutputLength(report, caps_.output));
}

} // namespace qz
