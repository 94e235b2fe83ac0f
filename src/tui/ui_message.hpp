#pragma once
// The one kind of message worker threads send to the interface, and the channel it
// travels on. Each message carries the run number of the operation that sent it, so
// the interface can drop what an operation it has since replaced still sends.

#include <cstdint>
#include <variant>

#include "src/tui/channel.hpp"
#include "src/tui/dev_update.hpp"
#include "src/tui/disk_update.hpp"

namespace bramvelt::tui {

enum class MessageKind : std::uint8_t { Disk = 0, Development = 1 };

struct UiMessage {
    MessageKind kind = MessageKind::Disk;
    std::uint64_t generation = 0;
    std::variant<DiskUpdate, DevUpdate> update;
};

using UiSender = Sender<UiMessage>;
using UiReceiver = Receiver<UiMessage>;

}  // namespace bramvelt::tui
