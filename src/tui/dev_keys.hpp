#pragma once
// The development view's own keys: its list, its search and folders lines and the
// review and progress dialogs.

#include "src/tui/app.hpp"
#include "src/tui/keys.hpp"

namespace bramvelt::tui {

Repaint dev_key(App& app, const kit::KeyEvent& key, const KeyServices& services);

}  // namespace bramvelt::tui
