#include "src/tui/dev_keys.hpp"

#include <fmt/format.h>

#include <limits>

#include "platform/utf8.hpp"
#include "src/cli/format.hpp"
#include "src/tui/dev_cleanup.hpp"
#include "src/tui/dev_roots.hpp"
#include "src/tui/dev_search.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

using kit::KeyCode;
using kit::KeyEvent;

constexpr std::int64_t kToTheEnd = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kMostWarningsToAcknowledge = 6;

// Bindings ignore the modifiers: Ctrl-S sorts as s does (Ctrl-C never gets here).
bool is_char(const KeyEvent& key, char32_t c) {
    return key.code == KeyCode::Char && key.ch == c;
}

void search_again(App& app, const KeyServices& services) {
    start_dev_search(app.dev, app.sender, services.start_thread);
}

void review_key(App& app, ReviewDialog& review, const KeyEvent& key, const KeyServices& services) {
    if (review.confirm_pending) {
        if (is_char(key, U'y') || is_char(key, U'Y')) {
            if (auto failed = start_cleanup_run(app.dev, app.sender, services.start_thread)) {
                set_status(app, std::move(*failed));
            }
        } else {
            review.confirm_pending = false;
        }
        return;
    }
    const std::size_t warnings = review.review.warnings.size();
    const std::size_t items = review.review.candidates.size();
    if (key.code == KeyCode::Enter) {
        if (warnings == 0 || review.acknowledged) {
            review.confirm_pending = true;
        } else {
            set_status(app, "Review the location warnings and press a to acknowledge them");
        }
    } else if (is_char(key, U' ') || is_char(key, U'a')) {
        if (warnings > kMostWarningsToAcknowledge) {
            set_status(app,
                       fmt::format("{} locations have warnings; select fewer items so each one can "
                                   "be reviewed",
                                   warnings));
        } else if (warnings > 0) {
            review.acknowledged = !review.acknowledged;
        }
    } else if (key.code == KeyCode::Left || is_char(key, U't')) {
        review.method = cli::CleanAction::Trash;
    } else if (key.code == KeyCode::Right || is_char(key, U'd')) {
        review.method = cli::CleanAction::Delete;
    } else if (key.code == KeyCode::Tab) {
        review.method = review.method == cli::CleanAction::Trash ? cli::CleanAction::Delete
                                                                 : cli::CleanAction::Trash;
    } else if (key.code == KeyCode::Up || is_char(key, U'k')) {
        if (review.scroll > 0) --review.scroll;
    } else if (key.code == KeyCode::Down || is_char(key, U'j')) {
        review.scroll = std::min(review.scroll + 1, items > 0 ? items - 1 : 0);
    } else if (key.code == KeyCode::Esc || is_char(key, U'q')) {
        app.dev.dialog = std::monostate{};
    }
}

void progress_key(App& app, const ProgressDialog& progress, const KeyEvent& key,
                  const KeyServices& services) {
    const bool closes =
        key.code == KeyCode::Enter || is_char(key, U'q') || key.code == KeyCode::Esc;
    if (!closes) return;
    if (progress.finished) {
        app.dev.dialog = std::monostate{};
        search_again(app, services);
        set_status(app, "Scanning again to show what is left");
    } else if (key.code == KeyCode::Esc) {
        (void)request_stop(app.dev);
    }
}

// The list follows the search line as it is edited, from its first row.
void follow_search_input(DevView& dev) {
    dev.filter.search = *dev.search_input;
    dev.cursor = 0;
}

void search_line_key(App& app, const KeyEvent& key) {
    DevView& dev = app.dev;
    if (key.code == KeyCode::Enter || key.code == KeyCode::Up || key.code == KeyCode::Down) {
        dev.search_input.reset();
    } else if (key.code == KeyCode::Esc) {
        dev.search_input.reset();
        dev.filter.search.clear();
    } else if (edit_text_input(*dev.search_input, key)) {
        follow_search_input(dev);
    }
}

void folders_line_key(App& app, const KeyEvent& key, const KeyServices& services) {
    DevView& dev = app.dev;
    if (key.code == KeyCode::Enter) {
        const auto pieces = split_folder_list(*dev.folders_input, cli::home_dir());
        dev.folders_input.reset();
        auto targets = resolve_search_folders(pieces);
        if (!targets) {
            set_status(app, targets.error());
            return;
        }
        dev.roots = std::move(*targets);
        search_again(app, services);
    } else if (key.code == KeyCode::Esc) {
        dev.folders_input.reset();
    } else {
        (void)edit_text_input(*dev.folders_input, key);
    }
}

void cycle_category(DevView& dev, int step) {
    // any, Rebuildable, Worktree, Keep as positions 0 to 3
    int position = dev.filter.category ? static_cast<int>(*dev.filter.category) + 1 : 0;
    position = (position + step + 4) % 4;
    dev.filter.category =
        position == 0 ? std::nullopt : std::optional(static_cast<cli::DevCategory>(position - 1));
    dev.cursor = 0;
    dev.scroll = 0;
}

void toggle_item(App& app) {
    DevView& dev = app.dev;
    const auto visible = visible_items(dev);
    if (dev.cursor >= visible.size()) return;
    auto [path, category] = item_key(*visible[dev.cursor]);
    if (category == cli::DevCategory::Keep) {
        set_status(app, "Kept items can't be removed here — see the details below");
        return;
    }
    if (!dev.selected_paths.erase(path)) dev.selected_paths.insert(std::move(path));
    move_cursor(dev, 1);
}

std::string folders_line(const DevView& dev) {
    std::string line;
    for (const auto& root : dev.roots) {
        if (root == "/") return {};
    }
    const auto home = cli::home_dir();
    for (const auto& root : dev.roots) {
        // Shown, its bad bytes read as U+FFFD: typed back, it would name another folder.
        if (!platform::is_valid_utf8(root)) continue;
        if (!line.empty()) line += ", ";
        line += cli::display_path(root, home);
    }
    return line;
}

void list_key(App& app, const KeyEvent& key, const KeyServices& services) {
    DevView& dev = app.dev;
    const auto page = static_cast<std::int64_t>(std::max<std::size_t>(dev.page, 1));
    if (key.code == KeyCode::Enter) {
        if (auto message = open_review(dev)) set_status(app, std::move(*message));
    } else if (key.code == KeyCode::Up || is_char(key, U'k')) {
        move_cursor(dev, -1);
    } else if (key.code == KeyCode::Down || is_char(key, U'j')) {
        move_cursor(dev, 1);
    } else if (key.code == KeyCode::PageUp) {
        move_cursor(dev, -page);
    } else if (key.code == KeyCode::PageDown) {
        move_cursor(dev, page);
    } else if (key.code == KeyCode::Home || is_char(key, U'g')) {
        move_cursor(dev, -kToTheEnd);
    } else if (key.code == KeyCode::End || is_char(key, U'G')) {
        move_cursor(dev, kToTheEnd);
    } else if (key.code == KeyCode::Right || key.code == KeyCode::Tab || is_char(key, U'l')) {
        cycle_category(dev, 1);
    } else if (key.code == KeyCode::Left || key.code == KeyCode::BackTab || is_char(key, U'h')) {
        cycle_category(dev, -1);
    } else if (is_char(key, U' ') || is_char(key, U'x')) {
        toggle_item(app);
    } else if (is_char(key, U'a')) {
        const auto paths = eligible_candidate_paths(visible_items(dev));
        dev.selected_paths.insert(paths.begin(), paths.end());
        set_status(app, fmt::format("Selected {} eligible items", paths.size()));
    } else if (is_char(key, U'n')) {
        dev.selected_paths.clear();
    } else if (is_char(key, U'/')) {
        dev.search_input = dev.filter.search;
    } else if (is_char(key, U'f')) {
        const auto days = dev.filter.older_than_days;
        dev.filter.older_than_days = days == 0 ? 30 : days == 30 ? 90 : days == 90 ? 0 : 30;
        dev.cursor = 0;
    } else if (is_char(key, U'm')) {
        const auto size = dev.filter.min_size;
        dev.filter.min_size = size == 0               ? 100'000'000
                              : size == 100'000'000   ? 1'000'000'000
                              : size == 1'000'000'000 ? 0
                                                      : 100'000'000;
        dev.cursor = 0;
    } else if (is_char(key, U's')) {
        dev.filter.sort =
            static_cast<cli::DevSortOrder>((static_cast<int>(dev.filter.sort) + 1) % 3);
        set_status(app, "Sorted " + std::string(sort_label(dev.filter.sort)));
    } else if (is_char(key, U'v')) {
        dev.verify_remotes = !dev.verify_remotes;
        search_again(app, services);
        set_status(app, dev.verify_remotes ? "Verifying Git backups on remotes…"
                                           : "Remote verification off");
    } else if (is_char(key, U'o')) {
        dev.folders_input = folders_line(dev);
    } else if (is_char(key, U'r')) {
        search_again(app, services);
    } else if (key.code == KeyCode::Esc) {
        if (!dev.filter.search.empty()) {
            dev.filter.search.clear();
        } else if (request_stop(dev)) {
            set_status(app, "Scan stopped");
        }
    }
}

}  // namespace

Repaint dev_key(App& app, const KeyEvent& key, const KeyServices& services) {
    DevView& dev = app.dev;
    if (auto* review = std::get_if<ReviewDialog>(&dev.dialog)) {
        review_key(app, *review, key, services);
    } else if (auto* progress = std::get_if<ProgressDialog>(&dev.dialog)) {
        progress_key(app, *progress, key, services);
    } else if (dev.search_input) {
        search_line_key(app, key);
    } else if (dev.folders_input) {
        folders_line_key(app, key, services);
    } else {
        list_key(app, key, services);
    }
    return Repaint::Changes;
}

bool dev_paste(App& app, std::string_view text) {
    DevView& dev = app.dev;
    if (!std::holds_alternative<std::monostate>(dev.dialog)) return false;
    if (dev.search_input) {
        if (!paste_text_input(*dev.search_input, text)) return false;
        follow_search_input(dev);
        return true;
    }
    return dev.folders_input && paste_text_input(*dev.folders_input, text);
}

}  // namespace bramvelt::tui
