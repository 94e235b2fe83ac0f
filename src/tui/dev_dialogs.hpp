#pragma once
// The review and progress dialogs of a development cleanup, drawn over the view.

#include <cstdint>
#include <optional>
#include <string>

#include "src/tui/dev_view.hpp"
#include "src/tui/key_hint.hpp"
#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui {

KeyHints draw_review_dialog(const DevView& view, kit::Buffer& buf, kit::Rect area,
                            const std::optional<std::string>& home);

KeyHints draw_progress_dialog(const DevView& view, kit::Buffer& buf, kit::Rect area,
                              const std::optional<std::string>& home, std::uint64_t tick);

// "this computer ({})" with the host name, or "this computer".
std::string host_label();
std::string host_label_of(const std::optional<std::string>& name);

}  // namespace bramvelt::tui
