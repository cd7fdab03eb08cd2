#include "keyboard/xkb/xkb_names_layout.h"

#include "keyboard/xkb/xkb_key_table.h"

#include <xkbcommon/xkbcommon.h>

namespace qz {

std::unique_ptr<XkbNamesLayout> XkbNamesLayout::Compile(
    const std::string& layout, const std::string& variant, const std::string& options)
{
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (context == nullptr) {
        return nullptr;
    }
    const xkb_rule_names names {"evdev", "pc105", layout.c_str(), variant.c_str(), options.c_str()};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap == nullptr) {
        xkb_context_unref(context);
        return nullptr;
    }
    return std::unique_ptr<XkbNamesLayout>(new XkbNamesLayout(context, keymap));
}

XkbNamesLayout::XkbNamesLayout(xkb_context* context, xkb_keymap* keymap)
    : context_(context)
    , keymap_(keymap)
    , table_(std::make_shared<const KeyTable>(BuildKeyTable(keymap, 0)))
{
}

XkbNamesLayout::~XkbNamesLayout()
{
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

void XkbNamesLayout::SetGroup(std::uint32_t group)
{
    if (group != group_) {
        group_ = group;
        table_ = std::make_shared<const KeyTable>(BuildKeyTable(keymap_, group));
    }
}

std::shared_ptr<const KeyTable> XkbNamesLayout::Keys(bool /*sync*/)
{
    return table_;
}

} // namespace qz
