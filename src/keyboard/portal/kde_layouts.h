#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace qz {

// The keyboard layout in use on a KDE Plasma desktop, from KWin's keyboard
// layouts interface on the session bus (org.kde.keyboard /Layouts): its
// index, which is the group of the keymap KWin hands to emulated-input
// clients. KWin 6.3 tells those clients nothing when the layout switches, so
// the ei sink learns the group here too; a modifiers event that the server
// does send counts as well, the later of the two winning
// (EiKeyboard::SetDesktopGroup).
// Made on Plasma only (OnPlasma); silent where KWin does not answer.
class KdeLayouts final : public QObject {
    Q_OBJECT

public:
    // Whether XDG_CURRENT_DESKTOP (a colon-separated list, null when not
    // set) names KDE.
    static bool OnPlasma(const char* currentDesktop);

    // Asks for the layout now and follows every switch; `changed` gets the index.
    KdeLayouts(const QString& busAddress, std::function<void(unsigned)> changed);
    ~KdeLayouts() override;

private Q_SLOTS:
    void OnLayoutChanged(uint index);

private:
    const QString connectionName_;
    std::function<void(unsigned)> changed_;
};

} // namespace qz
