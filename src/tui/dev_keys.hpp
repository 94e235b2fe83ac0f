#pragma once
// The development view's own keys: its list, its search and folders lines and the
// review and progress dialogs.

#include "src/tui/app.hpp"
#include "src/tui/keys.hpp"

namespace bramvelt::tui {

Repaint dev_key(App& app, const kit::KeyEvent& key, const KeyServices& services);

// A paste goes into the open search or folders line; with none open (or a dialog in
// front) it is dropped. Returns whether a line changed.
bool dev_paste(App& app, std::string_view text);

}  // namespace bramvelt::tui
