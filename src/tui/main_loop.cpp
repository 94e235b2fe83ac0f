#include "src/tui/main_loop.hpp"

namespace bramvelt::tui {

void apply_message(App& app, UiMessage message) {
    switch (message.kind) {
        case MessageKind::Disk:
            if (auto* update = std::get_if<DiskUpdate>(&message.update)) {
                apply_disk_message(app.disk, message.generation, std::move(*update));
            }
            return;
        case MessageKind::Development:
            if (auto* update = std::get_if<DevUpdate>(&message.update)) {
                if (auto status =
                        apply_dev_message(app.dev, message.generation, std::move(*update))) {
                    set_status(app, std::move(*status));
                }
            }
            return;
    }
}

bool idle_redraw_due(bool redraw, Clock::time_point last_draw, Clock::time_point now) {
    return redraw || (now >= last_draw && now - last_draw >= kIdleRedraw);
}

}  // namespace bramvelt::tui
