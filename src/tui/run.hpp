#pragma once
// Starts the full-screen interface and runs it until the user quits.

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bramvelt::tui {

// What the interface is asked to show first.
struct UiOptions {
    std::optional<std::string> folder;                    // map this folder at once
    std::optional<std::vector<std::string>> dev_folders;  // open the development view
    bool verify_remotes = false;
};

struct App;
namespace kit {
class Buffer;
struct Rect;
}  // namespace kit

// Draws one whole frame from the interface's state.
using FrameDrawer = std::function<void(App&, kit::Buffer&, kit::Rect)>;

// The error is the set-up's or the terminal's I/O failure, or what ended the interface
// when something failed without a value of its own (memory ran out while drawing, say);
// the terminal is given back and the Git commands it started are ended in every case.
std::expected<void, std::string> run_tui(const UiOptions& options);
// The same with another frame drawer, so that tests can make drawing fail.
std::expected<void, std::string> run_tui(const UiOptions& options, const FrameDrawer& draw);

}  // namespace bramvelt::tui
