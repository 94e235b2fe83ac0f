#include "src/tui/dev_keys.hpp"

namespace bramvelt::tui {

Repaint dev_key(App&, const kit::KeyEvent&, const KeyServices&) { return Repaint::Changes; }

}  // namespace bramvelt::tui
