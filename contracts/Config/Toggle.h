#pragma once

#include <string>

// The state of the feature toggle `toggle` as the toggle file `file` sets it, or `defaultState`.
//
// Toggle files live in $FLOWTABLE_TOGGLE_DIR (default /etc/flowtable/toggles) and hold one JSON
// object whose members name toggles, e.g. {"OneSocketKick": false}. A member with a JSON boolean
// value sets its toggle (the last of duplicate members wins). A missing or unreadable file, a
// file that is not a regular file or larger than 64 KiB, text that is not one well-formed JSON
// object, a missing member, or a member whose value is not a boolean gives `defaultState`.
// Never throws.
//
// Thread safety: any thread; the file is read afresh on every call.
bool getToggleState(const std::string& toggle, const std::string& file, bool defaultState);
