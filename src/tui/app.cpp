#include "src/tui/app.hpp"

namespace bramvelt::tui {

void set_status(App& app, std::string text, std::chrono::steady_clock::time_point now) {
    app.status = std::move(text);
    app.status_time = now;
}

bool status_is_fresh(const App& app, std::chrono::steady_clock::time_point now) {
    if (!app.status) return false;
    if (now < app.status_time) return true;
    return std::chrono::duration_cast<std::chrono::seconds>(now - app.status_time) <
           kStatusLifetime;
}

}  // namespace bramvelt::tui
