#include "src/tui/keys.hpp"

#include <limits>

#include "platform/real_path.hpp"
#include "platform/utf8.hpp"
#include "src/cli/format.hpp"
#include "src/cli/open_in_app.hpp"
#include "src/tui/dev_keys.hpp"
#include "src/tui/dev_roots.hpp"
#include "src/tui/dev_search.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

using kit::KeyCode;
using kit::KeyEvent;

constexpr std::int64_t kToTheEnd = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kWheelRows = 3;

bool is_char(const KeyEvent& key, char32_t c) {
    return key.code == KeyCode::Char && key.ch == c;
}

void start_scan(App& app, const std::string& folder, const KeyServices& services) {
    if (auto failed = start_disk_scan(app.disk, folder, app.sender, services.start_thread)) {
        set_status(app, std::move(*failed));
    }
}

// "~" and "~/…" with the home folder; anything else as typed.
std::string expand_home(std::string_view text) {
    if (!text.empty() && text.front() == '~') {
        if (auto home = cli::home_dir()) {
            if (text.size() == 1) return *home;
            if (text[1] == '/') return home->append(text.substr(1));
        }
    }
    return std::string(text);
}

void open_typed_folder(App& app, const KeyServices& services) {
    const std::string text = expand_home(platform::trim_white_space(*app.path_input));
    app.path_input.reset();
    if (!text.empty()) {
        if (auto folder = platform::real_directory(text)) {
            start_scan(app, *folder, services);
            return;
        }
    }
    set_status(app, "Not a folder: " + cli::escape_for_display(text));
}

void choose_launcher_entry(App& app, const KeyServices& services) {
    if (app.launcher_selected >= app.launcher.size()) return;
    const LauncherTarget target = app.launcher[app.launcher_selected].target;
    if (const auto* folder = std::get_if<ScanFolder>(&target)) {
        start_scan(app, folder->path, services);
    } else if (std::holds_alternative<OpenDevCleanup>(target)) {
        open_dev_view(app, std::nullopt, services.start_thread);
    } else {
        app.path_input = std::string();
    }
}

void move_launcher(App& app, std::int64_t delta) {
    if (app.launcher.empty()) return;
    if (delta < 0) {
        app.launcher_selected = app.launcher_selected > 0 ? app.launcher_selected - 1 : 0;
    } else {
        app.launcher_selected = std::min(app.launcher_selected + 1, app.launcher.size() - 1);
    }
}

void launcher_key(App& app, const KeyEvent& key, const KeyServices& services) {
    if (app.path_input) {
        if (key.code == KeyCode::Enter) {
            open_typed_folder(app, services);
        } else if (key.code == KeyCode::Esc) {
            app.path_input.reset();
        } else {
            edit_text_input(*app.path_input, key);
        }
        return;
    }
    if (key.code == KeyCode::Enter || key.code == KeyCode::Right || is_char(key, U'l')) {
        choose_launcher_entry(app, services);
    } else if (key.code == KeyCode::Up || is_char(key, U'k')) {
        move_launcher(app, -1);
    } else if (key.code == KeyCode::Down || is_char(key, U'j')) {
        move_launcher(app, 1);
    } else if (is_char(key, U'/')) {
        app.path_input = std::string();
    }
}

// The search gets the shown folder's bytes: below the scanned folder the tree holds
// text, in which a name that is not UTF-8 reads as another name.
void search_shown_folder(App& app, const ThreadStarter& start) {
    const DiskView& disk = app.disk;
    const std::string& root = disk.breadcrumb.front();
    const std::string& shown = disk.breadcrumb.back();
    auto folder = disk.breadcrumb.size() == 1 ? std::expected<std::string, std::string>(root)
                  : disk.tree ? shown_folder_bytes(root, node_path(*disk.tree), shown)
                              : shown_folder_bytes("/", "/", shown);
    if (!folder) {
        app.view = ActiveView::Development;
        show_folder_failure(app.dev, std::move(folder.error()));
        return;
    }
    open_dev_view(app, std::vector<std::string>{std::move(*folder)}, start);
}

Repaint disk_key(App& app, const KeyEvent& key, const KeyServices& services) {
    DiskView& disk = app.disk;
    if (disk.filter_input) {
        edit_filter(disk, key);
        return Repaint::Changes;
    }
    const auto page = static_cast<std::int64_t>(std::max<std::size_t>(disk.page, 1));
    switch (key.code) {
        case KeyCode::Enter:
        case KeyCode::Right:
            enter_selected(disk);
            return Repaint::Changes;
        case KeyCode::Backspace:
        case KeyCode::Left:
            go_up(disk);
            return Repaint::Changes;
        case KeyCode::Up:
            move_selection(disk, -1);
            return Repaint::Changes;
        case KeyCode::Down:
            move_selection(disk, 1);
            return Repaint::Changes;
        case KeyCode::PageUp:
            move_selection(disk, -page);
            return Repaint::Changes;
        case KeyCode::PageDown:
            move_selection(disk, page);
            return Repaint::Changes;
        case KeyCode::Home:
            move_selection(disk, -kToTheEnd);
            return Repaint::Changes;
        case KeyCode::End:
            move_selection(disk, kToTheEnd);
            return Repaint::Changes;
        case KeyCode::Esc:
            if (auto status = stop_or_leave(disk)) set_status(app, std::move(*status));
            return Repaint::Changes;
        case KeyCode::Char:
            break;
        default:
            return Repaint::Changes;
    }
    switch (key.ch) {
        case U'l':
            enter_selected(disk);
            break;
        case U'h':
            go_up(disk);
            break;
        case U'k':
            move_selection(disk, -1);
            break;
        case U'j':
            move_selection(disk, 1);
            break;
        case U'g':
            move_selection(disk, -kToTheEnd);
            break;
        case U'G':
            move_selection(disk, kToTheEnd);
            break;
        case U'/':
            open_filter_input(disk);
            break;
        case U's':
            set_status(app, cycle_sort(disk));
            break;
        case U't':
            toggle_treemap(disk);
            break;
        case U'c':
            if (!disk.breadcrumb.empty()) search_shown_folder(app, services.start_thread);
            break;
        case U'o':
            if (auto target = open_target(disk)) {
                auto opened = services.open_in_app(*target);
                set_status(app, opened ? std::string("Opened in BramVelt") : opened.error());
                return Repaint::Full;
            }
            break;
        case U'r':
            if (disk.root) start_scan(app, std::string(*disk.root), services);
            break;
        default:
            break;
    }
    return Repaint::Changes;
}

}  // namespace

KeyServices KeyServices::real() {
    KeyServices services;
    services.open_in_app = [](std::string_view folder) {
        return cli::open_in_app_within(folder, kOpenerWait);
    };
    return services;
}

void open_dev_view(App& app, std::optional<std::vector<std::string>> folders,
                   const ThreadStarter& start) {
    app.view = ActiveView::Development;
    if (folders) {
        apply_folders_input(app.dev, *folders, app.sender, start);
    } else if (!app.dev.searched) {
        apply_folders_input(app.dev, {}, app.sender, start);
    }
}

Repaint handle_key(App& app, const KeyEvent& key, const KeyServices& services) {
    if (key.kind == kit::KeyEventKind::Release) return Repaint::Changes;
    if (key.control() && is_char(key, U'c')) {
        if (stop_running_scan(app.disk)) {
            set_status(app, "Stopping… press Ctrl-C again to quit");
        } else if (request_stop(app.dev)) {
            set_status(app, "Stopping… press Ctrl-C again to quit");
        } else {
            app.quit = true;
        }
        return Repaint::Changes;
    }
    if (app.help_open) {
        app.help_open = false;
        return Repaint::Changes;
    }
    const bool line_open = app.view == ActiveView::Development
                               ? app.dev.search_input.has_value() ||
                                     app.dev.folders_input.has_value() ||
                                     !std::holds_alternative<std::monostate>(app.dev.dialog)
                               : app.disk.filter_input.has_value() || app.path_input.has_value();
    if (!line_open) {
        if ((key.code == KeyCode::F && key.function == 1) || is_char(key, U'?')) {
            app.help_open = true;
            return Repaint::Changes;
        }
        if (is_char(key, U'1')) {
            app.view = ActiveView::Disk;
            return Repaint::Changes;
        }
        if (is_char(key, U'2')) {
            open_dev_view(app, std::nullopt, services.start_thread);
            return Repaint::Changes;
        }
        if (is_char(key, U'q')) {
            app.quit = true;
            return Repaint::Changes;
        }
    }
    if (app.view == ActiveView::Development) return dev_key(app, key, services);
    if (!app.disk.root) {
        launcher_key(app, key, services);
        return Repaint::Changes;
    }
    return disk_key(app, key, services);
}

bool handle_paste(App& app, std::string_view text) {
    if (app.help_open) return false;
    if (app.view == ActiveView::Development) return dev_paste(app, text);
    if (!app.disk.root) return app.path_input && paste_text_input(*app.path_input, text);
    return paste_into_filter(app.disk, text);
}

void apply_wheel(App& app, const kit::MouseEvent& mouse) {
    std::int64_t direction = 0;
    if (mouse.kind == kit::MouseKind::ScrollDown) direction = 1;
    if (mouse.kind == kit::MouseKind::ScrollUp) direction = -1;
    if (direction == 0) return;
    if (app.view == ActiveView::Development) {
        if (std::holds_alternative<std::monostate>(app.dev.dialog)) {
            move_cursor(app.dev, direction * kWheelRows);
        }
        return;
    }
    if (app.disk.root) {
        move_selection(app.disk, direction * kWheelRows);
    } else {
        move_launcher(app, direction);
    }
}

}  // namespace bramvelt::tui
