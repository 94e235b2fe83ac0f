#pragma once
// What a cleanup run hands its steps for answers that come from a host later rather
// than through the authorization's state: two unbounded channels of acknowledgements
// (Trash, external backup) and the run's Trash registry. The run keeps a sending end of
// each channel for its whole length, so neither disconnects while it lasts.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/filesystem/identity.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "core/host_trash/trash_registry.hpp"

namespace bramvelt::host_trash {

// What is known of an archive file: its identity through its folder, its SHA-256 (64
// lower-case hexadecimal digits) and its length.
struct ArchiveReceipt {
    filesystem::FileIdentity identity;
    std::string sha256;
    std::uint64_t size = 0;
};

// A host's answer to a request it was sent.
struct HostAcknowledgement {
    std::string item_id;
    std::string token;
    bool success = false;
    std::optional<std::string> message;
    std::optional<ArchiveReceipt> receipt;  // the external backup's copy; the Trash ignores it
};

namespace detail {
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<HostAcknowledgement> queue;
    std::size_t senders = 0;
};
}  // namespace detail

// A sending end; copies are further sending ends. The channel disconnects when the last
// one goes and every message was received.
class AcknowledgementSender {
  public:
    explicit AcknowledgementSender(std::shared_ptr<detail::ChannelState> state);
    ~AcknowledgementSender();
    AcknowledgementSender(const AcknowledgementSender& other);
    AcknowledgementSender& operator=(const AcknowledgementSender&) = delete;

    void send(HostAcknowledgement acknowledgement) const;

  private:
    std::shared_ptr<detail::ChannelState> state_;
};

// What a wait for a message found.
struct Received {
    enum class Kind { Message, Timeout, Disconnected };
    Kind kind = Kind::Timeout;
    std::optional<HostAcknowledgement> message;
};

// The receiving end.
class AcknowledgementReceiver {
  public:
    explicit AcknowledgementReceiver(std::shared_ptr<detail::ChannelState> state)
        : state_(std::move(state)) {}

    // The next message, or Timeout at `deadline`, or Disconnected once no sender is left
    // and nothing is queued.
    Received receive_until(Clock::time_point deadline);

  private:
    std::shared_ptr<detail::ChannelState> state_;
};

std::pair<AcknowledgementSender, AcknowledgementReceiver> open_acknowledgement_channel();

struct CleanupHostLink {
    AcknowledgementReceiver trash_acknowledgements;
    AcknowledgementReceiver backup_acknowledgements;
    std::shared_ptr<TrashRegistry> registry;  // null: no authorizations, answers only
};

// The sending ends the run keeps while its host link lives.
struct HostLinkSenders {
    AcknowledgementSender trash;
    AcknowledgementSender backup;
};

std::pair<CleanupHostLink, HostLinkSenders> open_host_link(std::shared_ptr<TrashRegistry> registry);

}  // namespace bramvelt::host_trash
