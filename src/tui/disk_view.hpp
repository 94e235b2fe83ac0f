#pragma once
// The disk view's state on the interface thread: the latest tree of the scan, the
// folders the user has descended (the breadcrumb), the name filter, the sort, the
// selection, and the cached list of the current folder's rows. Workers never touch it;
// their messages are applied here, and only while they belong to the current scan.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/cancel_flag.hpp"
#include "src/tui/disk_node.hpp"
#include "src/tui/disk_update.hpp"
#include "src/tui/kit/input.hpp"

namespace bramvelt::tui {

enum class DiskSort : std::uint8_t { Size = 0, Name = 1, Files = 2, Modified = 3 };

// "size", "name", "files" or "modified".
std::string_view sort_label(DiskSort sort);

// What the cached row list was built for.
struct VisibleKey {
    std::string folder;  // the last breadcrumb entry
    std::uint64_t tree_version = 0;
    DiskSort sort = DiskSort::Size;
    std::string filter;
    friend bool operator==(const VisibleKey&, const VisibleKey&) = default;
};

struct DiskView {
    std::optional<DiskNode> tree;
    std::vector<std::string> breadcrumb;
    std::string filter;
    std::vector<std::size_t> visible;  // child indices of the current folder, in sort order
    std::vector<std::optional<std::size_t>> color_ranks;  // one per child
    std::optional<std::string> root;                      // none: the launcher is shown instead
    std::optional<DiskProgress> progress;
    std::optional<std::string> error;
    std::optional<std::string> selected_path;
    std::optional<std::string> filter_input;  // present while the filter line is open
    std::optional<VisibleKey> visible_key;
    std::optional<std::chrono::steady_clock::time_point> started;
    double elapsed_seconds = 0;
    std::uint64_t files = 0;
    std::uint64_t directories = 0;
    std::uint64_t unreadable = 0;
    std::optional<bool> stopped;  // the finished scan's cancelled flag
    std::uint64_t generation = 0;
    CancelFlag cancel;  // empty until a scan starts
    std::uint64_t tree_version = 0;
    std::size_t selected = 0;
    std::size_t scroll = 0;
    std::size_t page = 0;
    bool scanning = false;
    bool treemap_hidden = false;
    DiskSort sort = DiskSort::Size;
};

// Back to the initial state, keeping only the generation: nothing of an earlier scan
// can come back.
void reset_disk_view(DiskView& view);

// Puts the view in the state of a new scan of `folder` and returns the new generation
// and flag; the caller starts the worker. A running scan is asked to stop.
struct ScanTicket {
    std::uint64_t generation = 0;
    CancelFlag cancel;
};
ScanTicket begin_disk_scan(DiskView& view, const std::string& folder);

// Sets the current scan's flag while it runs; true when it was set now.
bool stop_running_scan(DiskView& view);

void apply_disk_message(DiskView& view, std::uint64_t generation, DiskUpdate update);
void install_tree(DiskView& view, DiskNode tree);

const DiskNode* current_folder(const DiskView& view);
const DiskNode* selected_node(const DiskView& view);
void refresh_visible(DiskView& view);

// Whether the child's name contains the (already lower-cased) filter.
bool name_matches_filter(std::string_view filter_lower, const DiskNode& child);

void move_selection(DiskView& view, std::int64_t delta);
void enter_selected(DiskView& view);
void go_up(DiskView& view);
// Returns the status text "Sorted by ...".
std::string cycle_sort(DiskView& view);
void toggle_treemap(DiskView& view);
void open_filter_input(DiskView& view);
void edit_filter(DiskView& view, const kit::KeyEvent& key);
// Appends a paste to the open filter line, which the list then follows; returns whether
// the line changed.
bool paste_into_filter(DiskView& view, std::string_view text);
// Esc: clears the filter, else stops the scan, else leaves for the launcher. Returns a
// status text when there is one to show.
std::optional<std::string> stop_or_leave(DiskView& view);
// The folder the open key hands over: the selected child when it is a folder, else the
// current folder.
std::optional<std::string> open_target(DiskView& view);

}  // namespace bramvelt::tui
