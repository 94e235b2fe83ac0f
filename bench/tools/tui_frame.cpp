// Frame time of the interface: the disk view of a 400-child folder drawn on a 200 × 60
// screen, then the changes written out as terminal bytes, with the selection moving one
// row per frame (as holding a key does). Prints the median and 95th percentile.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "src/tui/app.hpp"
#include "src/tui/frame.hpp"
#include "src/tui/kit/terminal.hpp"

using namespace bramvelt;
using namespace bramvelt::tui;

namespace {

DiskNode node(std::string path, std::int64_t size, scan::NodeKind kind) {
    DiskNode n;
    n.path = std::move(path);
    n.size = size;
    n.file_count = 1;
    n.kind = kind;
    n.modification_time = 1'700'000'000 - size % 100'000;
    return n;
}

DiskNode wide_folder() {
    DiskNode root = node("/bench", 0, scan::NodeKind::Directory);
    for (int i = 0; i < 400; ++i) {
        const std::string path = "/bench/entry-" + std::to_string(i);
        const std::int64_t size = 4096LL * (400 - i) * (i % 7 + 1);
        if (i % 3 == 0) {
            DiskNode dir = node(path, 0, scan::NodeKind::Directory);
            for (int k = 0; k < 40; ++k) {
                dir.children.push_back(
                    node(path + "/f" + std::to_string(k), size / (k + 2), scan::NodeKind::File));
                dir.size += dir.children.back().size;
                dir.file_count += 1;
            }
            root.children.push_back(std::move(dir));
        } else {
            root.children.push_back(node(path, size, scan::NodeKind::File));
        }
        root.size += root.children.back().size;
        root.file_count += root.children.back().file_count;
    }
    scan::sort_children_by_size(root.children);
    return root;
}

}  // namespace

int main() {
    auto [sender, receiver] = make_channel<UiMessage>();
    App app(sender);
    const ScanTicket ticket = begin_disk_scan(app.disk, "/bench");
    scan::ScanOutcome outcome;
    outcome.tree = wide_folder();
    apply_disk_message(app.disk, ticket.generation, DiskFinished{std::move(outcome)});

    const kit::Rect area{0, 0, 200, 60};
    kit::Buffer previous(area);
    kit::Buffer current(area);
    std::vector<double> micros;
    std::size_t bytes = 0;
    for (int frame = 0; frame < 1200; ++frame) {
        const auto start = std::chrono::steady_clock::now();
        move_selection(app.disk, (frame / 100) % 2 == 0 ? 1 : -1);
        current.reset();
        draw_frame(app, current, area);
        const std::string out = kit::render_diff(previous, current, kit::Colors::On);
        std::swap(previous, current);
        const auto end = std::chrono::steady_clock::now();
        bytes += out.size();
        if (frame >= 200) {
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    std::sort(micros.begin(), micros.end());
    std::printf(
        "frame 200x60, 400 children: median %.2f ms, p95 %.2f ms, %.1f KiB written per frame\n",
        micros[micros.size() / 2] / 1000, micros[micros.size() * 95 / 100] / 1000,
        static_cast<double>(bytes) / 1200 / 1024);
    return 0;
}
