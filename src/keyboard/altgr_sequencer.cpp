#include "keyboard/altgr_sequencer.h"

namespace qz {

bool AltGrSequencer::Key(const KeyTable& keys, std::uint8_t vk, bool down, const Emit& emit)
{
    const bool ctrl = vk == VirtualKey::kCtrl;
    const bool alt = vk == VirtualKey::kAlt;
    if (ctrl && down && announcedVk_ >= 0 && !ctrlDeferred_ && level3Down_ == 0 && keys.level3Code != 0) {
        ctrlDeferred_ = true;
        return true;
    }
    if (alt && down && ctrlDeferred_) {
        ctrlDeferred_ = false;
        level3Down_ = keys.level3Code;
        ctrlInPair_ = true;
        altInPair_ = true;
        emit(level3Down_, true);
        return true;
    }
    if (ctrl && !down && ctrlDeferred_) {
        ctrlDeferred_ = false; // pressed and released without ever being sent
        return true;
    }
    if (!down && level3Down_ != 0 && ((ctrl && ctrlInPair_) || (alt && altInPair_))) {
        (ctrl ? ctrlInPair_ : altInPair_) = false;
        if (!ctrlInPair_ && !altInPair_) {
            emit(level3Down_, false);
            level3Down_ = 0;
        }
        return true;
    }
    Settle(keys, emit);
    if (!ctrl && !alt && vk != VirtualKey::kShift) {
        announcedVk_ = -1; // the character's own key: its pair, if any, is down or not wanted
    }
    return false;
}

void AltGrSequencer::Settle(const KeyTable& keys, const Emit& emit)
{
    if (!ctrlDeferred_) {
        return;
    }
    ctrlDeferred_ = false;
    const std::uint16_t code = keys.codeOfVk[VirtualKey::kCtrl];
    if (code != 0) {
        emit(code, true);
    }
}

} // namespace qz
