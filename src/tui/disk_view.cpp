#include "src/tui/disk_view.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "platform/text.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

// The list follows the filter line as it is edited, from its first row.
void follow_filter_input(DiskView& view) {
    view.filter = *view.filter_input;
    view.selected = 0;
    view.selected_path.reset();
}

const DiskNode* child_with_path(const DiskNode& node, std::string_view path) {
    for (const DiskNode& child : node_children(node)) {
        if (node_path(child) == path) return &child;
    }
    return nullptr;
}

void sort_visible(std::vector<std::size_t>& visible, std::span<const DiskNode> children,
                  DiskSort sort) {
    const auto size_of = [&](std::size_t i) { return node_size(children[i]); };
    switch (sort) {
        case DiskSort::Size:
            std::stable_sort(visible.begin(), visible.end(), [&](std::size_t a, std::size_t b) {
                if (size_of(a) != size_of(b)) return size_of(a) > size_of(b);
                return node_path(children[a]) < node_path(children[b]);
            });
            return;
        case DiskSort::Name: {
            std::vector<std::string> names(children.size());
            for (std::size_t i : visible) names[i] = platform::lower_case(node_name(children[i]));
            std::stable_sort(visible.begin(), visible.end(),
                             [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
            return;
        }
        case DiskSort::Files:
            std::stable_sort(visible.begin(), visible.end(), [&](std::size_t a, std::size_t b) {
                const auto fa = node_file_count(children[a]);
                const auto fb = node_file_count(children[b]);
                if (fa != fb) return fa > fb;
                return size_of(a) > size_of(b);
            });
            return;
        case DiskSort::Modified:
            std::stable_sort(visible.begin(), visible.end(), [&](std::size_t a, std::size_t b) {
                const auto ma = node_modified(children[a]);
                const auto mb = node_modified(children[b]);
                if (ma.has_value() != mb.has_value()) return ma.has_value();
                if (ma && *ma != *mb) return *ma > *mb;
                return size_of(a) > size_of(b);
            });
            return;
    }
}

std::vector<std::optional<std::size_t>> rank_folders(std::span<const DiskNode> children) {
    std::vector<std::size_t> folders;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (is_openable(children[i])) folders.push_back(i);
    }
    std::stable_sort(folders.begin(), folders.end(), [&](std::size_t a, std::size_t b) {
        return node_size(children[a]) > node_size(children[b]);
    });
    std::vector<std::optional<std::size_t>> ranks(children.size());
    for (std::size_t r = 0; r < folders.size(); ++r) ranks[folders[r]] = r;
    return ranks;
}

}  // namespace

std::string_view sort_label(DiskSort sort) {
    switch (sort) {
        case DiskSort::Size:
            return "size";
        case DiskSort::Name:
            return "name";
        case DiskSort::Files:
            return "files";
        case DiskSort::Modified:
            return "modified";
    }
    return "size";
}

void reset_disk_view(DiskView& view) {
    const std::uint64_t generation = view.generation;
    view = DiskView{};
    // A scan that was running when the view went back must not install its tree later.
    view.generation = generation + 1;
}

ScanTicket begin_disk_scan(DiskView& view, const std::string& folder) {
    stop_running_scan(view);
    const std::uint64_t generation = view.generation;
    const DiskSort sort = view.sort;
    const bool treemap_hidden = view.treemap_hidden;
    view = DiskView{};
    view.sort = sort;
    view.treemap_hidden = treemap_hidden;
    view.generation = generation + 1;
    view.cancel = make_cancel_flag();
    view.root = folder;
    view.breadcrumb = {folder};
    view.scanning = true;
    view.started = std::chrono::steady_clock::now();
    return ScanTicket{view.generation, view.cancel};
}

bool stop_running_scan(DiskView& view) {
    if (view.cancel && view.scanning && !view.cancel->load()) {
        view.cancel->store(true);
        return true;
    }
    return false;
}

void apply_disk_message(DiskView& view, std::uint64_t generation, DiskUpdate update) {
    if (generation != view.generation) return;
    std::visit(Overloaded{
                   [&](DiskProgress& p) { view.progress = std::move(p); },
                   [&](DiskSnapshot& s) {
                       if (view.scanning) install_tree(view, std::move(s.tree));
                   },
                   [&](DiskFinished& f) {
                       view.scanning = false;
                       if (!f.result) {
                           view.error = std::move(f.result.error());
                           return;
                       }
                       scan::ScanOutcome& outcome = *f.result;
                       view.elapsed_seconds = outcome.elapsed_seconds;
                       view.files = outcome.files_scanned;
                       view.directories = outcome.directories_scanned;
                       view.unreadable = outcome.unreadable_items;
                       view.stopped = outcome.cancelled;
                       install_tree(view, std::move(outcome.tree));
                   },
               },
               update);
}

void install_tree(DiskView& view, DiskNode tree) {
    view.tree = std::move(tree);
    ++view.tree_version;
    const DiskNode* node = &*view.tree;
    for (std::size_t i = 1; i < view.breadcrumb.size(); ++i) {
        const DiskNode* next =
            node_children(*node).empty() ? nullptr : child_with_path(*node, view.breadcrumb[i]);
        if (next == nullptr) {
            view.breadcrumb.resize(i);
            break;
        }
        node = next;
    }
}

const DiskNode* current_folder(const DiskView& view) {
    if (!view.tree) return nullptr;
    const DiskNode* node = &*view.tree;
    for (std::size_t i = 1; i < view.breadcrumb.size(); ++i) {
        node = child_with_path(*node, view.breadcrumb[i]);
        if (node == nullptr) return nullptr;
    }
    return node;
}

const DiskNode* selected_node(const DiskView& view) {
    const DiskNode* folder = current_folder(view);
    if (folder == nullptr || view.selected >= view.visible.size()) return nullptr;
    const auto children = node_children(*folder);
    const std::size_t index = view.visible[view.selected];
    return index < children.size() ? &children[index] : nullptr;
}

bool name_matches_filter(std::string_view filter_lower, const DiskNode& child) {
    if (filter_lower.empty()) return true;
    return platform::lower_case(node_name(child)).find(filter_lower) != std::string::npos;
}

void refresh_visible(DiskView& view) {
    VisibleKey key{view.breadcrumb.empty() ? std::string() : view.breadcrumb.back(),
                   view.tree_version, view.sort, view.filter};
    if (view.visible_key == key) return;
    view.visible.clear();
    view.color_ranks.clear();
    const DiskNode* folder = current_folder(view);
    if (folder != nullptr) {
        const auto children = node_children(*folder);
        const std::string filter = platform::lower_case(view.filter);
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (name_matches_filter(filter, children[i])) view.visible.push_back(i);
        }
        sort_visible(view.visible, children, view.sort);
        view.color_ranks = rank_folders(children);
        if (view.selected_path) {
            for (std::size_t pos = 0; pos < view.visible.size(); ++pos) {
                if (node_path(children[view.visible[pos]]) == *view.selected_path) {
                    view.selected = pos;
                    break;
                }
            }
        }
    }
    view.visible_key = std::move(key);
    view.selected = view.visible.empty() ? 0 : std::min(view.selected, view.visible.size() - 1);
}

void move_selection(DiskView& view, std::int64_t delta) {
    refresh_visible(view);
    if (view.visible.empty()) return;
    const auto last = static_cast<std::int64_t>(view.visible.size() - 1);
    const auto current = static_cast<std::int64_t>(view.selected);
    std::int64_t next = 0;
    if (__builtin_add_overflow(current, delta, &next)) {
        next = delta > 0 ? last : 0;
    }
    view.selected = static_cast<std::size_t>(std::clamp<std::int64_t>(next, 0, last));
    const DiskNode* node = selected_node(view);
    view.selected_path =
        node != nullptr ? std::optional<std::string>(node_path(*node)) : std::nullopt;
}

void enter_selected(DiskView& view) {
    refresh_visible(view);
    const DiskNode* node = selected_node(view);
    if (node == nullptr || node_children(*node).empty()) return;
    view.breadcrumb.emplace_back(node_path(*node));
    view.selected = 0;
    view.scroll = 0;
    view.selected_path.reset();
    view.filter.clear();
}

void go_up(DiskView& view) {
    if (view.breadcrumb.size() < 2) return;
    view.selected_path = std::move(view.breadcrumb.back());
    view.breadcrumb.pop_back();
    view.filter.clear();
    view.visible_key.reset();
    view.scroll = 0;
    refresh_visible(view);
}

std::string cycle_sort(DiskView& view) {
    view.sort = static_cast<DiskSort>((static_cast<int>(view.sort) + 1) % 4);
    std::string status = "Sorted by ";
    status += sort_label(view.sort);
    return status;
}

void toggle_treemap(DiskView& view) {
    view.treemap_hidden = !view.treemap_hidden;
}

void open_filter_input(DiskView& view) {
    view.filter_input = view.filter;
}

void edit_filter(DiskView& view, const kit::KeyEvent& key) {
    if (!view.filter_input) return;
    switch (key.code) {
        case kit::KeyCode::Enter:
        case kit::KeyCode::Up:
        case kit::KeyCode::Down:
            view.filter_input.reset();
            return;
        case kit::KeyCode::Esc:
            view.filter_input.reset();
            view.filter.clear();
            return;
        default:
            break;
    }
    if (edit_text_input(*view.filter_input, key)) follow_filter_input(view);
}

bool paste_into_filter(DiskView& view, std::string_view text) {
    if (!view.filter_input || !paste_text_input(*view.filter_input, text)) return false;
    follow_filter_input(view);
    return true;
}

std::optional<std::string> stop_or_leave(DiskView& view) {
    if (!view.filter.empty()) {
        view.filter.clear();
        return std::nullopt;
    }
    if (stop_running_scan(view)) {
        return std::string("Scan stopped; showing what was measured");
    }
    reset_disk_view(view);
    return std::nullopt;
}

std::optional<std::string> open_target(DiskView& view) {
    refresh_visible(view);
    if (const DiskNode* node = selected_node(view); node != nullptr && is_openable(*node)) {
        return std::string(node_path(*node));
    }
    if (!view.breadcrumb.empty()) return view.breadcrumb.back();
    return std::nullopt;
}

}  // namespace bramvelt::tui
