#pragma once

#include <string>
#include <utility>

namespace qz {

// The restore token of the RemoteDesktop portal, kept from one run to the
// next so that a later run is granted without the desktop's dialog. One
// file, $XDG_STATE_HOME/qz470-tester/remote-desktop-token (the state home
// defaults to ~/.local/state), readable by its owner only, in a folder of
// the owner's only, and replaced whole: a rename over the old file, so that
// a crash leaves the old token or the new one, never half of one.
class RestoreTokenFile {
public:
    // The file under the state home the environment names; no file at all
    // (nothing kept) when neither XDG_STATE_HOME nor HOME is set.
    static RestoreTokenFile FromEnvironment();
    explicit RestoreTokenFile(std::string path)
        : path_(std::move(path))
    {
    }

    const std::string& Path() const { return path_; }
    // The token, empty when there is none (or no file).
    std::string Load() const;
    // Replaces the token; false when it could not be written.
    bool Save(const std::string& token) const;
    void Remove() const;

private:
    std::string path_;
};

} // namespace qz
