#include "core/host_trash/host_link.hpp"

namespace bramvelt::host_trash {

AcknowledgementSender::AcknowledgementSender(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {
    const std::lock_guard lock(state_->mutex);
    ++state_->senders;
}

AcknowledgementSender::AcknowledgementSender(const AcknowledgementSender& other)
    : AcknowledgementSender(other.state_) {}

AcknowledgementSender::~AcknowledgementSender() {
    {
        const std::lock_guard lock(state_->mutex);
        --state_->senders;
    }
    state_->ready.notify_all();
}

void AcknowledgementSender::send(HostAcknowledgement acknowledgement) const {
    {
        const std::lock_guard lock(state_->mutex);
        state_->queue.push_back(std::move(acknowledgement));
    }
    state_->ready.notify_all();
}

Received AcknowledgementReceiver::receive_until(Clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_until(lock, deadline,
                             [&] { return !state_->queue.empty() || state_->senders == 0; });
    if (!state_->queue.empty()) {
        Received received{Received::Kind::Message, std::move(state_->queue.front())};
        state_->queue.pop_front();
        return received;
    }
    if (state_->senders == 0) return {Received::Kind::Disconnected, std::nullopt};
    return {Received::Kind::Timeout, std::nullopt};
}

std::pair<AcknowledgementSender, AcknowledgementReceiver> open_acknowledgement_channel() {
    auto state = std::make_shared<detail::ChannelState>();
    return {AcknowledgementSender(state), AcknowledgementReceiver(state)};
}

std::pair<CleanupHostLink, HostLinkSenders> open_host_link(
    std::shared_ptr<TrashRegistry> registry) {
    auto [trash_sender, trash_receiver] = open_acknowledgement_channel();
    auto [backup_sender, backup_receiver] = open_acknowledgement_channel();
    return {
        CleanupHostLink{std::move(trash_receiver), std::move(backup_receiver), std::move(registry)},
        HostLinkSenders{trash_sender, backup_sender}};
}

}  // namespace bramvelt::host_trash
