#include "scan/walker.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include "platform/utf8.hpp"
#include "scan/retention.hpp"

namespace bramvelt::scan {
namespace {

constexpr std::int64_t kProgressBytes = 67'108'864;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr std::uint64_t kProgressTicks = 50;
// A listing checks whether a progress event is due once per this many results.
constexpr std::uint64_t kResultsPerProgressCheck = 256;
// Children per block of a large directory's listing (about 24 KiB).
constexpr std::size_t kBlockNodes = 256;
// Sizes are signed 64-bit values everywhere they are shown.
constexpr std::uint64_t kMaxSize =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// What a listing keeps of a subdirectory until it is walked or queued: its name (raw
// bytes) and the few facts of its status the walk needs. Wide directories keep thousands
// at once, so the paths are made only when each is walked.
struct PendingSubdirectory {
    std::string name;
    WalkPriority priority = WalkPriority::normal;
    ListedStatus status;
};

// A listed directory's descriptor, kept while its subdirectories are walked, within the
// session's budget of held directories.
class HeldDirectory {
  public:
    HeldDirectory() = default;
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;
    ~HeldDirectory() {
        if (session_ != nullptr) session_->open_directories_left.fetch_add(1);
    }

    // Takes the listing's descriptor when the budget allows.
    void hold(ScanSession& session, DirectoryListing& listing) {
        auto& left = session.open_directories_left;
        long now = left.load(std::memory_order_relaxed);
        do {
            if (now <= 0) return;
        } while (!left.compare_exchange_weak(now, now - 1, std::memory_order_relaxed));
        session_ = &session;
        fd_ = listing.take_fd();
    }
    int fd() const { return fd_.valid() ? fd_.get() : -1; }

  private:
    ScanSession* session_ = nullptr;
    platform::Fd fd_;
};

// Whether no byte has its top bit set; names are mostly ASCII, checked 8 bytes at a time.
bool is_ascii(std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) return false;
    }
    for (; i < bytes.size(); ++i) {
        if ((static_cast<unsigned char>(bytes[i]) & 0x80) != 0) return false;
    }
    return true;
}

void append_lossy(TreeString& out, std::string_view bytes) {
    if (is_ascii(bytes) || platform::is_valid_utf8(bytes)) {
        out.append(bytes);
    } else {
        out += platform::to_utf8_lossy(bytes);
    }
}

// The length of the bytes as text (each ill-formed sequence becomes three bytes).
std::size_t lossy_length(std::string_view bytes) {
    if (is_ascii(bytes) || platform::is_valid_utf8(bytes)) return bytes.size();
    return platform::to_utf8_lossy(bytes).size();
}

TreeString lossy_text(std::string_view bytes) {
    TreeString out;
    append_lossy(out, bytes);
    return out;
}

std::string join_raw(const std::string& dir, std::string_view name) {
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out = dir;
    if (!out.ends_with('/')) out += '/';
    out.append(name);
    return out;
}

// The node path of an entry: the directory's text, "/", the name as text. A "/" ends
// any ill-formed sequence before it, so converting the parts one by one gives the same
// text as converting the joined bytes.
TreeString join_text(const TreeString& dir_text, std::string_view name) {
    TreeString out;
    out.reserve(dir_text.size() + 1 + name.size());
    out = dir_text;
    if (!out.ends_with('/')) out += '/';
    append_lossy(out, name);
    return out;
}

TreeNode directory_leaf(TreeString path, std::optional<std::int64_t> modification,
                        NodeState state) {
    TreeNode node;
    node.path = std::move(path);
    node.kind = NodeKind::Directory;
    node.modification_time = modification;
    node.state = state;
    return node;
}

std::optional<std::int64_t> as_node_time(std::optional<std::uint64_t> seconds) {
    if (!seconds) return std::nullopt;
    return static_cast<std::int64_t>(*seconds);
}

void send_progress(ScanSession& session, std::string_view path) {
    emit_event(session, ProgressEvent{
                            platform::to_utf8_lossy(path),
                            session.bytes_scanned.load(std::memory_order_relaxed),
                            session.files_scanned.load(std::memory_order_relaxed),
                            session.directories_scanned.load(std::memory_order_relaxed),
                            session.unreadable_items.load(std::memory_order_relaxed),
                        });
}

// The check made every kResultsPerProgressCheck listing results: 64 MiB more, or 250 ms
// since the last.
void progress_throttle(ScanSession& session, std::string_view path) {
    bool send = false;
    {
        std::lock_guard<std::mutex> lock(session.output_mutex);
        const auto now = std::chrono::steady_clock::now();
        const std::int64_t bytes = session.bytes_scanned.load(std::memory_order_relaxed);
        auto& out = session.output;
        if (bytes - out.bytes_at_last_progress.load() >= kProgressBytes ||
            (now >= out.last_progress && now - out.last_progress >= kProgressInterval)) {
            out.last_progress = now;
            out.bytes_at_last_progress.store(bytes);
            send = true;
        }
    }
    if (send) send_progress(session, path);
}

// Sorts the children of every node a logged link passes through: those a link may have
// grown, left in walk order until now. Deepest first, since sorting a node moves its
// children and the pointers to them are taken beforehand.
void sort_link_paths(TreeNode& node, const LinkLog& links) {
    std::vector<std::pair<std::size_t, TreeNode*>> on_paths;  // (depth, node)
    for (const DeferredLink& link : links) {
        TreeNode* at = &node;
        on_paths.emplace_back(0, at);
        std::size_t depth = 0;
        for (auto level = link.where.rbegin(); level != link.where.rend(); ++level) {
            if (*level >= at->children.size()) break;
            at = &at->children[*level];
            ++depth;
            if (!at->children.empty()) on_paths.emplace_back(depth, at);
        }
    }
    std::ranges::sort(on_paths, std::greater<>());
    const auto [first, last] = std::ranges::unique(on_paths);
    on_paths.erase(first, last);
    for (const auto& [depth, at] : on_paths) sort_children_by_size(at->children);
}

// Why a directory is shown without being listed; nothing when it is to be listed. A
// directory that gets past every other test is recorded as visited, so a second way to
// it becomes an alias.
std::optional<NodeState> directory_leaf_state(ScanSession& session, const platform::EntryStatus& st,
                                              unsigned depth) {
    const auto& options = session.options;
    if (depth >= std::min(options.max_depth, kMaxScanDepth) || session.cancelled()) {
        return NodeState::Incomplete;
    }
    const std::uint64_t root_device = session.root_device.load(std::memory_order_relaxed);
    if (options.one_filesystem &&
        (root_device != 0 || session.root_device_set.load(std::memory_order_relaxed)) &&
        st.device != root_device) {
        return NodeState::MountPoint;
    }
    // A bind mount keeps the device of what it shows, so only the kernel's mount-root
    // mark tells it apart. The root itself may be one.
    if (options.one_filesystem && depth > 0 && st.mount_root) return NodeState::MountPoint;
    if (session.catalog && session.catalog->device() == st.device &&
        session.catalog->inode() == st.inode) {
        return NodeState::PolicyExcluded;
    }
    if (st.is_dataless()) return NodeState::CloudPlaceholder;
    if (!session.visited_directories.insert(FileKey{st.device, st.inode})) {
        return NodeState::DirectoryAlias;
    }
    return std::nullopt;
}

// A directory whose status could not be read.
TreeNode unexamined_directory(ScanSession& session, TreeString text) {
    session.unreadable_items.fetch_add(1, std::memory_order_relaxed);
    TreeNode node = directory_leaf(std::move(text), std::nullopt, NodeState::Incomplete);
    node.is_readable = false;
    return node;
}

// A directory that could not be opened for listing: its own size is still counted.
TreeNode unlistable_directory(ScanSession& session, TreeString text,
                              std::optional<std::int64_t> modification, std::uint64_t own_size,
                              JobProgress* job) {
    session.unreadable_items.fetch_add(1, std::memory_order_relaxed);
    session.directories_scanned.fetch_add(1, std::memory_order_relaxed);
    saturating_add(session.bytes_scanned, static_cast<std::int64_t>(own_size));
    if (job != nullptr) saturating_add(job->bytes, own_size, kMaxSize);
    TreeNode node = directory_leaf(std::move(text), modification, NodeState::Incomplete);
    node.size = static_cast<std::int64_t>(own_size);
    node.is_readable = false;
    return node;
}

std::expected<DirectoryListing, ListingOpenError> open_listing(ScanSession& session,
                                                               const std::string& path,
                                                               const platform::EntryStatus& st,
                                                               unsigned depth,
                                                               const ListedDirectory* listed) {
    const auto method =
        session.options.portable_listing ? ListingMethod::portable : ListingMethod::bulk;
    // Only the scan root may be a symbolic link to the directory examined.
    const auto follow = depth == 0 ? platform::FollowFinalLink::yes : platform::FollowFinalLink::no;
    const auto links = session.skip_links ? LinkEntries::skip : LinkEntries::include;
    std::optional<OpenAt> at;
    if (listed != nullptr && listed->parent_fd >= 0) {
        at = OpenAt{listed->parent_fd, path.c_str() + (path.size() - listed->name_length)};
    }
    return open_directory(path, st, method, follow, links, session.cancel, session.listing_counters,
                          at);
}

// What one listing result is to the walk.
enum class EntryKind {
    skipped,      // a symbolic link while links are skipped: no node, no count
    read_failed,  // the listing broke off: counted as unreadable, no node
    unreadable,   // its status could not be read: an unreadable child
    file,         // anything but a directory: counted and shown
    leaf,         // a directory shown but not entered
    recurse,      // a directory walked further
};

struct EntryDecision {
    EntryKind kind = EntryKind::skipped;
    TreeString path_text;                      // the entry's node path, when it has a node
    NodeState leaf_state = NodeState::Normal;  // for a leaf
};

// Decides what one listing result is; the walk only carries the decision out.
EntryDecision treat_entry(const ScanSession& session, const ListingResult& result,
                          const TreeString& dir_text) {
    if (std::holds_alternative<ListingReadError>(result)) return {EntryKind::read_failed, {}};
    if (const auto* failed = std::get_if<ListingMetadataError>(&result)) {
        return {EntryKind::unreadable, join_text(dir_text, failed->name)};
    }
    const auto& entry = std::get<ListedEntry>(result);
    if (entry.is_symlink && session.skip_links) return {EntryKind::skipped, {}};
    EntryDecision decision{EntryKind::file, join_text(dir_text, entry.name)};
    if (!entry.is_directory) return decision;
    if (entry.is_dataless) {
        decision.leaf_state = NodeState::CloudPlaceholder;
    } else if (entry.bulk_mount_point && session.options.one_filesystem) {
        decision.leaf_state = NodeState::MountPoint;
    } else if (is_excluded_path(session, decision.path_text)) {
        decision.leaf_state = NodeState::PolicyExcluded;
    }
    decision.kind = decision.leaf_state == NodeState::Normal ? EntryKind::recurse : EntryKind::leaf;
    return decision;
}

// One directory being walked: its node, its running totals and the subdirectories still
// to walk. Owned by the walking thread.
struct DirectoryWalk {
    DirectoryWalk(ScanSession& session, const std::string& path, TreeString text,
                  std::optional<std::int64_t> modification, std::uint64_t own_size,
                  JobProgress* job, LinkLog* links)
        : session(session),
          path(path),
          node(directory_leaf(std::move(text), modification, NodeState::Normal)),
          own_size(own_size),
          job(job),
          links(links),
          links_at_start(links != nullptr ? links->size() : 0),
          total_size(static_cast<std::int64_t>(own_size)),
          retainer(session, path),
          in_blocks(retainer.keeps_all() && !retainer.wants_identity()) {}

    ScanSession& session;
    const std::string& path;  // raw bytes
    TreeNode node;            // its path is the directory's text
    HeldDirectory held;       // while the subdirectories are walked
    const std::uint64_t own_size;
    JobProgress* const job;            // recursive mode only
    LinkLog* const links;              // set when subtrees may be shared with helpers
    const std::size_t links_at_start;  // links logged below this directory come after
    std::int64_t total_size;
    std::int64_t total_files = 0;
    bool read_error = false;
    std::vector<PendingSubdirectory> pending;
    ChildRetainer retainer;
    // Files counted here reach the shared counters in batches: every thread adding to
    // the same counters for every file would keep their cache line moving between cores.
    // The batch goes out before each progress check and when the listing ends, so
    // progress and live snapshots still see running values.
    std::uint64_t batch_bytes = 0;
    std::uint64_t batch_files = 0;
    // Children made in place, in listing order (every file kept, no catalog).
    const bool in_blocks;
    std::vector<NodeList> overflow;
    std::size_t overflow_count = 0;

    void publish() {
        if (batch_files == 0) return;
        saturating_add(session.bytes_scanned, static_cast<std::int64_t>(batch_bytes));
        session.files_scanned.fetch_add(batch_files, std::memory_order_relaxed);
        if (job != nullptr) {
            saturating_add(job->bytes, batch_bytes, kMaxSize);
            job->files.fetch_add(batch_files, std::memory_order_relaxed);
        }
        batch_bytes = 0;
        batch_files = 0;
    }

    void add_unreadable(const ListingMetadataError& failed, TreeString path_text) {
        session.unreadable_items.fetch_add(1, std::memory_order_relaxed);
        TreeNode& child = new_child();
        child.path = std::move(path_text);
        child.kind = failed.listed_as_directory ? NodeKind::Directory : NodeKind::File;
        child.is_readable = false;
        child.state = NodeState::Incomplete;
    }

    void add_file(const ListedEntry& entry, TreeString path_text) {
        const FileFacts facts = entry.file_facts.value_or(FileFacts{});
        std::uint64_t counted = 0;
        if (links != nullptr && facts.link_count >= 2) {
            // Counted, in walk order, when the job is over (finish_shared_job).
            links->push_back({facts.device,
                              entry.inode,
                              facts.allocated_size,
                              {static_cast<std::uint32_t>(child_count())}});
        } else {
            counted = count_hard_link(session, facts, entry.inode);
        }
        batch_bytes = std::min(batch_bytes + counted, kMaxSize);  // each is at most kMaxSize
        batch_files += 1;
        total_size = saturating_add(total_size, static_cast<std::int64_t>(counted));
        total_files += 1;
        // Every file is kept: made in place, the retention step would only append it.
        TreeNode spilled;
        TreeNode& child = in_blocks ? new_child() : spilled;
        child.path = std::move(path_text);
        child.kind = NodeKind::File;
        child.size = static_cast<std::int64_t>(counted);
        child.file_count = 1;
        child.modification_time = as_node_time(entry.modification);
        child.state = entry.is_dataless ? NodeState::CloudPlaceholder : NodeState::Normal;
        if (in_blocks) return;
        std::optional<CatalogIdentity> identity;
        if (retainer.wants_identity()) {
            identity =
                CatalogIdentity{entry.inode, facts.device, facts.link_count, facts.allocated_size};
        }
        retain_or_spill_child(retainer, std::move(spilled), identity, node.children);
    }

    void add_leaf(const ListedEntry& entry, NodeState state, TreeString path_text) {
        new_child() = directory_leaf(std::move(path_text), as_node_time(entry.modification), state);
    }

    // A pending subdirectory's path (raw bytes).
    std::string path_of(const PendingSubdirectory& sub) const { return join_raw(path, sub.name); }

    // How the walk of a pending subdirectory finds it, its path as text included.
    ListedDirectory listed_of(const PendingSubdirectory& sub, int parent_fd) const {
        return ListedDirectory{sub.status.entry_status(), parent_fd, sub.name.size(),
                               join_text(node.path, sub.name)};
    }

    void add_pending(const ListedEntry& entry, const TreeString& path_text) {
        // The name as text ends the path's text; it holds no "/".
        const std::string_view name_text =
            std::string_view(path_text).substr(path_text.size() - lossy_length(entry.name));
        pending.push_back({std::string(entry.name), directory_class(session.profile, name_text),
                           ListedStatus(*entry.status)});
    }

    // The next child of the listing. Beyond the room made for the first batch, children
    // go into blocks, gathered into one list of the full size once the listing ends: a
    // list left to double would keep a quarter of a large directory's room unused, and
    // the large blocks it leaves behind stay in the heap for the rest of the scan.
    TreeNode& new_child() {
        auto& children = node.children;
        if (overflow.empty() && children.size() < children.capacity()) {
            return children.emplace_back();
        }
        if (!in_blocks) return children.emplace_back();
        if (overflow.empty() || overflow.back().size() == kBlockNodes) {
            overflow.emplace_back().reserve(kBlockNodes);
        }
        ++overflow_count;
        return overflow.back().emplace_back();
    }
    std::size_t child_count() const { return node.children.size() + overflow_count; }
    // With room for `more` children to come.
    void gather_children(std::size_t more) {
        if (overflow.empty()) return;
        NodeList all;
        all.reserve(child_count() + more);
        std::ranges::move(node.children, std::back_inserter(all));
        for (auto& block : overflow) std::ranges::move(block, std::back_inserter(all));
        node.children = std::move(all);
        overflow.clear();
        overflow_count = 0;
    }

    void add_subtree(TreeNode walked) {
        total_size = saturating_add(total_size, walked.size);
        total_files = saturating_add(total_files, walked.file_count);
        node.children.push_back(std::move(walked));
    }

    // After the listing: the retention step has its say, and the subdirectories are put
    // in the order they are walked (stable, so equal priorities keep the listing order).
    void end_listing() {
        gather_children(pending.size());
        finish_directory_catalog(std::move(retainer), node.children);
        // Under the general profile every name has one class: nothing to move.
        if (!std::ranges::is_sorted(pending, {}, &PendingSubdirectory::priority)) {
            std::ranges::stable_sort(pending, {}, &PendingSubdirectory::priority);
        }
    }

    TreeNode finish() {
        if (job != nullptr) saturating_add(job->bytes, own_size, kMaxSize);
        session.directories_scanned.fetch_add(1, std::memory_order_relaxed);
        saturating_add(session.bytes_scanned, static_cast<std::int64_t>(own_size));
        // A link logged below may still change sizes here; finish_shared_job sorts then.
        if (links == nullptr || links->size() == links_at_start) {
            sort_children_by_size(node.children);
        }
        progress_tick(session, path);

        bool incomplete = read_error || session.cancelled();
        for (const TreeNode& child : node.children) {
            if (!child.is_readable || child.state == NodeState::Incomplete) {
                incomplete = true;
                break;
            }
        }
        node.state = incomplete ? NodeState::Incomplete : NodeState::Normal;
        node.size = total_size;
        node.file_count = total_files;
        return std::move(node);
    }
};

// Carries out the decision on every listing result.
void read_listing(DirectoryWalk& walk, DirectoryListing& listing) {
    ScanSession& session = walk.session;
    std::uint64_t results = 0;
    for (;;) {
        ListingResult result = listing.next_entry();
        if (std::holds_alternative<ListingEnd>(result)) break;
        if (++results % kResultsPerProgressCheck == 0) {
            walk.publish();
            progress_throttle(session, walk.path);
        }
        if (session.cancelled()) break;

        EntryDecision decision = treat_entry(session, result, walk.node.path);
        switch (decision.kind) {
            case EntryKind::skipped:
                break;
            case EntryKind::read_failed:
                session.unreadable_items.fetch_add(1, std::memory_order_relaxed);
                walk.read_error = true;
                break;
            case EntryKind::unreadable:
                walk.add_unreadable(std::get<ListingMetadataError>(result),
                                    std::move(decision.path_text));
                break;
            case EntryKind::file:
                walk.add_file(std::get<ListedEntry>(result), std::move(decision.path_text));
                break;
            case EntryKind::leaf:
                walk.add_leaf(std::get<ListedEntry>(result), decision.leaf_state,
                              std::move(decision.path_text));
                break;
            case EntryKind::recurse:
                walk.add_pending(std::get<ListedEntry>(result), decision.path_text);
                break;
        }
    }
    walk.publish();
}

// Top level: every subdirectory becomes a job at the back of the queue.
void queue_subdirectories(const TopLevelMode& top, const DirectoryWalk& walk, unsigned depth) {
    std::unique_lock<std::mutex> lock;
    if (top.mutex != nullptr) lock = std::unique_lock<std::mutex>(*top.mutex);
    for (const auto& sub : walk.pending) {
        top.jobs->push_back(
            ScanJob{walk.path_of(sub), std::make_shared<JobProgress>(), depth + 1, 0});
    }
}

// Walking alone: one subtree after the other, in priority order. With the hard-link rule
// applied as files are met, which link counts the bytes must not depend on timing.
void descend_alone(DirectoryWalk& walk, const WalkMode& mode, unsigned depth) {
    walk.node.children.reserve(walk.node.children.size() + walk.pending.size());
    for (const auto& sub : walk.pending) {
        ListedDirectory listed = walk.listed_of(sub, walk.held.fd());
        walk.add_subtree(
            walk_subdirectory(walk.session, walk.path_of(sub), mode, depth + 1, &listed));
    }
}

// Shared with helpers: idle workers may take some subdirectories. Nodes and link logs are
// collected in priority order, so both come out as one walker would have made them.
void descend_shared(DirectoryWalk& walk, const RecursiveMode& mode, unsigned depth) {
    ScanSession& session = walk.session;
    auto& pending = walk.pending;
    HelpPool* pool = mode.pool;
    std::vector<std::shared_ptr<HelpPool::Task>> handed(pending.size());
    bool offered = false;
    walk.node.children.reserve(walk.node.children.size() + pending.size());
    for (std::size_t i = 0; i < pending.size(); ++i) {
        // Once workers wait for work, the rest of this level is offered to them.
        if (pool != nullptr && !offered && i + 1 < pending.size() && pool->helping() &&
            !session.cancelled()) {
            offered = true;
            std::vector<std::shared_ptr<HelpPool::Task>> tasks;
            tasks.reserve(pending.size() - i - 1);
            for (std::size_t k = i + 1; k < pending.size(); ++k) {
                auto task = std::make_shared<HelpPool::Task>();
                task->path = walk.path_of(pending[k]);
                task->status = pending[k].status;
                task->name_length = pending[k].name.size();
                task->depth = depth + 1;
                task->progress = mode.progress;
                handed[k] = task;
                tasks.push_back(std::move(task));
            }
            pool->post(tasks);
        }
        LinkLog sub_links;
        TreeNode walked;
        const auto& task = handed[i];
        if (task && !pool->take_back(task)) {
            pool->wait(task, [&](HelpPool::Task& other) {
                const WalkMode other_mode = RecursiveMode{other.progress, pool, &other.links};
                other.node = walk_handed_over(session, other, other_mode);
            });
            if (task->error) std::rethrow_exception(task->error);
            walked = std::move(*task->node);
            sub_links = std::move(task->links);
        } else {
            const WalkMode sub_mode = RecursiveMode{mode.progress, pool, &sub_links};
            // Taken back or never offered: walked here, where the descriptor is held.
            ListedDirectory listed = walk.listed_of(pending[i], walk.held.fd());
            walked = walk_subdirectory(session, task ? task->path : walk.path_of(pending[i]),
                                       sub_mode, depth + 1, &listed);
        }
        const auto index = static_cast<std::uint32_t>(walk.node.children.size());
        for (auto& link : sub_links) {
            link.where.push_back(index);
            walk.links->push_back(std::move(link));
        }
        walk.add_subtree(std::move(walked));
    }
}

}  // namespace

bool is_package_name(std::string_view name) {
    static constexpr std::array<std::string_view, 8> extensions = {
        ".app",    ".photoslibrary", ".xcarchive", ".framework",
        ".bundle", ".pkg",           ".dmg",       ".sparsebundle"};
    return std::ranges::any_of(extensions,
                               [&](std::string_view ext) { return name.ends_with(ext); });
}

void apply_package_rule(bool collapse_packages, TreeNode& node) {
    if (!collapse_packages || node.kind != NodeKind::Directory) return;
    if (node.state != NodeState::Normal && node.state != NodeState::Scanning &&
        node.state != NodeState::Incomplete) {
        return;
    }
    if (!is_package_name(node_display_name(node.path))) return;
    node.kind = NodeKind::Package;
    NodeList().swap(node.children);
}

std::uint64_t count_hard_link(ScanSession& session, const FileFacts& facts, std::uint64_t inode) {
    if (facts.link_count < 2) return facts.allocated_size;
    if (session.hard_links.insert(FileKey{facts.device, inode})) return facts.allocated_size;
    saturating_add(session.hard_link_bytes_saved, facts.allocated_size);
    return 0;
}

void progress_tick(ScanSession& session, std::string_view path) {
    auto& out = session.output;
    // Counted without the lock: every directory ends here, and the lock is only needed
    // when an event is due.
    const std::uint64_t ticks = out.ticks_since_progress.fetch_add(1) + 1;
    std::int64_t bytes = session.bytes_scanned.load(std::memory_order_relaxed);
    if (ticks < kProgressTicks && bytes - out.bytes_at_last_progress.load() < kProgressBytes) {
        return;
    }
    bool send = false;
    {
        std::lock_guard<std::mutex> lock(session.output_mutex);
        bytes = session.bytes_scanned.load(std::memory_order_relaxed);
        if (out.ticks_since_progress.load() >= kProgressTicks ||
            bytes - out.bytes_at_last_progress.load() >= kProgressBytes) {
            out.ticks_since_progress.store(0);
            out.bytes_at_last_progress.store(bytes);
            out.last_progress = std::chrono::steady_clock::now();
            send = true;
        }
    }
    if (send) send_progress(session, path);
}

void finish_shared_job(ScanSession& session, TreeNode& node, const LinkLog& links,
                       JobProgress* progress) {
    std::uint64_t counted_bytes = 0;
    for (const DeferredLink& link : links) {
        if (!session.hard_links.insert(FileKey{link.device, link.inode})) {
            saturating_add(session.hard_link_bytes_saved, link.size);
            continue;
        }
        const auto size = static_cast<std::int64_t>(link.size);
        counted_bytes = std::min(counted_bytes + link.size, kMaxSize);
        // Down from the job's node along the recorded indices; below a package (whose
        // children were dropped) the bytes stay with the package.
        TreeNode* at = &node;
        at->size = saturating_add(at->size, size);
        for (auto level = link.where.rbegin(); level != link.where.rend(); ++level) {
            if (*level >= at->children.size()) break;
            at = &at->children[*level];
            at->size = saturating_add(at->size, size);
        }
    }
    saturating_add(session.bytes_scanned, static_cast<std::int64_t>(counted_bytes));
    if (progress != nullptr) saturating_add(progress->bytes, counted_bytes, kMaxSize);
    sort_link_paths(node, links);
}

namespace {

// walk_directory once the directory's status is known: from a status call on the path,
// or (`listed`) from its parent's listing.
TreeNode walk_examined(ScanSession& session, const std::string& path, TreeString text,
                       const platform::EntryStatus& st, const ListedDirectory* listed,
                       const WalkMode& mode, unsigned depth) {
    const std::uint64_t own_size = st.is_dataless() ? 0 : allocated_bytes(st.blocks);
    const auto modification =
        as_node_time(modification_seconds(st.mtime_seconds, st.mtime_nanoseconds));
    if (const auto leaf = directory_leaf_state(session, st, depth)) {
        return directory_leaf(std::move(text), modification, *leaf);
    }

    const auto* recursive = std::get_if<RecursiveMode>(&mode);
    JobProgress* job = recursive != nullptr ? recursive->progress.get() : nullptr;
    auto listing = open_listing(session, path, st, depth, listed);
    if (!listing) {
        // A directory whose path is gone was never examined, as when its status call
        // fails; one that is still there could not be opened.
        if (listed != nullptr && !platform::status_of_path(path, platform::FollowFinalLink::yes)) {
            return unexamined_directory(session, std::move(text));
        }
        return unlistable_directory(session, std::move(text), modification, own_size, job);
    }
    LinkLog* const links =
        recursive != nullptr ? recursive->links : std::get<TopLevelMode>(mode).links;
    DirectoryWalk walk(session, path, std::move(text), modification, own_size, job, links);
    // Most directories fit in the first batch. At the top level, subdirectories become
    // jobs, and their results join the files once the jobs are done: room for every
    // entry spares that a list of its own (in tree memory, the list left behind would
    // stay taken).
    walk.node.children.reserve(listing->entries_ahead());
    read_listing(walk, *listing);
    walk.end_listing();
    // Subdirectories walked here open relative to this one; queued jobs open by path.
    if (recursive != nullptr && !walk.pending.empty()) walk.held.hold(session, *listing);
    listing = std::unexpected(ListingOpenError{});  // the listing's buffers go now

    if (const auto* top = std::get_if<TopLevelMode>(&mode)) {
        queue_subdirectories(*top, walk, depth);
    } else if (walk.links == nullptr) {
        descend_alone(walk, mode, depth);
    } else {
        descend_shared(walk, *recursive, depth);
    }
    return walk.finish();
}

// walk_directory with the path's text made.
TreeNode walk_examined_path(ScanSession& session, const std::string& path, TreeString text,
                            const WalkMode& mode, unsigned depth) {
    const auto st = platform::status_of_path(path, platform::FollowFinalLink::yes);
    if (!st) return unexamined_directory(session, std::move(text));
    return walk_examined(session, path, std::move(text), *st, nullptr, mode, depth);
}

}  // namespace

TreeNode walk_subdirectory(ScanSession& session, const std::string& path, const WalkMode& mode,
                           unsigned depth, ListedDirectory* listed) {
    TreeString text = listed != nullptr ? std::move(listed->text) : lossy_text(path);
    if (session.cancelled()) {
        return directory_leaf(std::move(text), std::nullopt, NodeState::Incomplete);
    }
    TreeNode node =
        listed != nullptr
            ? walk_examined(session, path, std::move(text), listed->status, listed, mode, depth)
            : walk_examined_path(session, path, std::move(text), mode, depth);
    apply_package_rule(session.collapse_packages, node);
    return node;
}

TreeNode walk_handed_over(ScanSession& session, HelpPool::Task& task, const WalkMode& mode) {
    ListedDirectory listed{task.status.entry_status(), -1, task.name_length, lossy_text(task.path)};
    return walk_subdirectory(session, task.path, mode, task.depth, &listed);
}

TreeNode walk_directory(ScanSession& session, const std::string& path, const WalkMode& mode,
                        unsigned depth) {
    return walk_examined_path(session, path, lossy_text(path), mode, depth);
}

}  // namespace bramvelt::scan
