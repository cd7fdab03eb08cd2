#pragma once

#include "decode/transceiver_data.h"
#include "link/hid_layer.h"
#include "link/led_report.h"
#include "link/open_failure.h"
#include "timer/self_timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qz {

class TimerLayer;

// Owns the quiz-buzzer transceiver: finds it among the HID interfaces, polls
// it every 30 ms, raises OnButtonPressed for every report that decodes to a
// pad, and sends LED commands to the pads.
//
// A transceiver that was found and is later unplugged is opened again when it
// (or another transceiver) comes back, at the same or another node: once a
// read reports the device gone, its handles are closed and, on every tenth
// poll tick (300 ms), the HID interfaces are enumerated again, until a
// transceiver opens. One that was absent at construction stays absent.
//
// A transceiver that cannot be opened is passed over, and the open-failure
// listener hears of it once per node for the life of the object, at the end
// of the search that met it: the one during construction, or one after an
// unplug once the node has refused us for about 2 s (udev may still be
// applying its permissions).
class Transceiver {
public:
    // Vendor and product IDs of the two transceiver models.
    static constexpr std::uint16_t kVendorId = 0x0003;
    static constexpr std::uint16_t kCmdModelProductId = 0x1001; // takes cmd reports
    static constexpr std::uint16_t kFrameModelProductId = 0x1003; // takes LED frames
    static constexpr std::int32_t kPollIntervalMs = 30;
    // While unplugged, the search for a transceiver runs this often.
    static constexpr std::int32_t kSearchIntervalMs = 300;
    // udev applies a node's permissions a moment after the node appears: a
    // node that refuses us is searched again this many times (about 2 s)
    // before the user is told.
    static constexpr int kPermissionRetries = 7;

    // True for an interface whose enumeration names a transceiver of either
    // model; every other interface is foreign and is never opened.
    static bool IsTransceiver(const HidLayer::Interface& candidate);
    // The LED report form of the model with this product ID.
    static constexpr LedFormat LedFormatOf(std::uint16_t productId)
    {
        return productId == kCmdModelProductId ? LedFormat::CmdReport : LedFormat::LedFrame;
    }

    // Receives, at the end of a search, the open failures the link gives up
    // on (see above), in enumeration order, and whether the search opened a
    // transceiver after all: only one that ends with none open leaves the
    // program without presses.
    using OpenFailureListener = std::function<void(const std::vector<OpenFailure>& failures, bool opened)>;

    // Searches, opens the first transceiver found and starts 30 ms polling.
    // The search runs here, so the listener is given here too; none by default.
    Transceiver(HidLayer& hid, TimerLayer& timers, OpenFailureListener onOpenFailure = {});
    // Stops the timer first, then closes what is open.
    ~Transceiver();
    Transceiver(const Transceiver&) = delete;
    Transceiver& operator=(const Transceiver&) = delete;

    // The OnButtonPressed listener (one). It may pump the event loop, call the
    // LED commands and even destroy this Transceiver.
    using ButtonPressedHandler = std::function<void(TransceiverData& TRData)>;
    void SetButtonPressedHandler(ButtonPressedHandler handler);

    // LED commands. Throw Error::Overflow when the pad does not fit the
    // report, Error::OutOfRange when ReportBuffer is too short for an LED
    // frame; succeed without sending when no transceiver was found.
    void LEDOff(std::int16_t Remote);
    void LEDOn(std::int16_t Remote);
    void LEDOnShort(const std::int16_t& Remote);
    void LEDFlash(std::int16_t Remote);

    // True once construction found and opened a transceiver; stays true while
    // it is unplugged.
    bool Ready() const { return ready_; }
    // True for the 0x1001 model.
    bool CmdModel() const { return cmdModel_; }
    // Input report length + 1 bytes; holds the last report (and LED frame).
    const ByteArray& ReportBuffer() const { return reportBuffer_; }

    // True while the transceiver is open; false when absent or unplugged.
    bool Connected() const { return deviceHandle_ != HidLayer::kNoHandle; }
    // True while the poll timer runs (false when absent, or after a failed wait).
    bool Polling() const;
    // The node of the transceiver, empty when absent.
    const std::string& DevicePath() const { return devicePath_; }

private:
    bool Search(bool reportFailures);
    void OpenDevice(const HidLayer::Interface& candidate, HidLayer::Handle deviceHandle);
    void CloseDevice();
    void Timer_Timer(Seconds seconds);
    void AnnounceReport();
    void LostTick();
    void ReportOpenFailures(const std::vector<OpenFailure>& failures, bool opened);
    void SendLED(LedCommand command, std::int16_t Remote);
    void SendReport(const ByteArray& report);

    HidLayer& hid_;
    TimerLayer& timers_;
    OpenFailureListener onOpenFailure_;
    // The transceiver's one handle: polled for input reports, written for
    // LED commands.
    HidLayer::Handle deviceHandle_ = HidLayer::kNoHandle;
    HidLayer::ReportLengths caps_;
    ByteArray reportBuffer_;
    std::string devicePath_;
    bool cmdModel_ = false;
    bool ready_ = false;
    std::unique_ptr<SelfTimer> timer_;
    ButtonPressedHandler onButtonPressed_;
    // Cleared by the destructor; a poll step holds a copy across the event.
    std::shared_ptr<bool> alive_;
    // While unplugged: ticks until the next search, and failed opens per node.
    int ticksUntilSearch_ = 0;
    int deniedAttempts_ = 0;
    // Nodes whose open failure the listener has heard of.
    std::set<std::string> reported_;
};

} // namespace qz
