#include "core/host_trash/trash_wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/host_trash/host_link.hpp"
#include "core/host_trash/host_side.hpp"
#include "core/host_trash/trash_texts.hpp"
#include "support/eventually.hpp"
#include "tests/core/host_trash/trash_fixture.hpp"

namespace bramvelt::host_trash {
namespace {

using namespace std::chrono_literals;
using testing::read_text;
using testing::TrashTest;
namespace fs = std::filesystem;

// The step's limits, shortened so that expiry and the grace period take milliseconds.
const TrashWaitTimings kQuick{
    .lifetime = 300ms, .turn = 10ms, .host_grace = 300ms, .grace_turn = 5ms};

std::string describe(const TrashOutcome& outcome) {
    switch (outcome.kind) {
        case TrashOutcome::Kind::Moved:
            return "moved";
        case TrashOutcome::Kind::Indeterminate:
            return "indeterminate";
        case TrashOutcome::Kind::Failed:
            return outcome.message;
    }
    return "?";
}

struct Wait : TrashTest {
    std::string item = tmp.write_file("w/item", "x");
    std::pair<AcknowledgementSender, AcknowledgementReceiver> channel =
        open_acknowledgement_channel();

    TrashWait wait_for(std::shared_ptr<TrashAuthorization> authorization) {
        TrashWait wait;
        wait.item_id = "item-0";
        wait.token = authorization ? authorization->token() : std::string(48, 'a');
        wait.path = item;
        wait.identity = filesystem::read_identity(item).value();
        wait.cancel = cancel;
        wait.authorization = std::move(authorization);
        return wait;
    }

    std::string await(const TrashWait& wait) {
        return describe(await_native_trash(wait, channel.second, kQuick));
    }

    HostAcknowledgement acknowledgement(const TrashWait& wait, bool success,
                                        std::optional<std::string> message = std::nullopt) {
        return {wait.item_id, wait.token, success, std::move(message), std::nullopt};
    }
};

// The whole road of one item, as a cleanup step and a front end's sink walk it on one
// thread: issue and register, serve the request, wait for the state.
TEST_F(Wait, IssueServeAndWaitMoveARealItem) {
    auto registry = std::make_shared<TrashRegistry>();
    auto [link, senders] = open_host_link(registry);
    auto authorization = authorize(item);
    TrashWait wait = wait_for(authorization);
    {
        TrashRegistration registration(link.registry, "item-0");
        link.registry->insert("item-0", authorization);
        authorization.reset();  // the registry and the wait hold it now
        serve_native_trash_request(*registry, "item-0", wait.token, real_host());
        EXPECT_EQ(describe(await_native_trash(wait, link.trash_acknowledgements, kQuick)), "moved");
    }
    EXPECT_EQ(registry->find("item-0"), nullptr);
    EXPECT_EQ(read_text(trash + "/files/item"), "x");
    EXPECT_FALSE(is_cancelled(cancel));
}

TEST_F(Wait, TheStateSettlesIt) {
    auto trashed = authorize(item);
    trashed->store_state(TrashState::Trashed);
    EXPECT_EQ(await(wait_for(trashed)), "moved");

    auto failed = authorize(item);
    failed->store_failure(TrashState::Failed, "Authorized item or parent changed before Trash");
    EXPECT_EQ(await(wait_for(failed)), "Authorized item or parent changed before Trash");
    auto failed_silently = authorize(item);
    failed_silently->store_state(TrashState::Failed);
    EXPECT_EQ(await(wait_for(failed_silently)), kNotCompleted);
    EXPECT_FALSE(is_cancelled(cancel));  // a known failure lets the run go on

    auto unknown = authorize(item);
    unknown->store_failure(TrashState::Indeterminate, std::string(kResultUnknown));
    EXPECT_EQ(await(wait_for(unknown)), "indeterminate");
    EXPECT_TRUE(is_cancelled(cancel));
}

TEST_F(Wait, NobodyServesTheRequestSoItExpiresAndCannotBeTakenAfterwards) {
    auto authorization = authorize(item);
    const auto start = Clock::now();
    EXPECT_EQ(await(wait_for(authorization)), kAuthorizationExpired);
    EXPECT_GE(Clock::now() - start, kQuick.lifetime);
    EXPECT_TRUE(is_cancelled(cancel));
    EXPECT_EQ(authorization->state(), TrashState::Failed);
    cancel->store(false);
    EXPECT_EQ(reserve_trash_authorization(*authorization, authorization->token()).error(),
              kAuthorizationUsed);
}

TEST_F(Wait, CancellationAndADisconnectedChannel) {
    cancel->store(true);
    EXPECT_EQ(await(wait_for(authorize(item))), kCleanupCancelled);
    cancel->store(false);

    // Every sending end is gone with the pair it came in.
    auto lonely = open_acknowledgement_channel().second;
    EXPECT_EQ(describe(await_native_trash(wait_for(authorize(item)), lonely, kQuick)),
              kCallbackDisconnected);
    EXPECT_TRUE(is_cancelled(cancel));
}

TEST_F(Wait, AcknowledgementsWithAnAuthorization) {
    struct Case {
        std::string name;
        std::function<HostAcknowledgement(const TrashWait&)> answer;
        std::string expected;
        bool cancels;
    };
    const std::vector<Case> cases = {
        {"other token",
         [&](const TrashWait& w) {
             auto a = acknowledgement(w, true);
             a.token[0] ^= 1;
             return a;
         },
         std::string(kAcknowledgementMismatch), true},
        {"other item",
         [&](const TrashWait& w) {
             auto a = acknowledgement(w, true);
             a.item_id = "item-9";
             return a;
         },
         std::string(kAcknowledgementMismatch), true},
        {"failure with text",
         [&](const TrashWait& w) { return acknowledgement(w, false, "Disk full"); }, "Disk full",
         true},
        {"failure", [&](const TrashWait& w) { return acknowledgement(w, false); },
         std::string(kHostFailed), true},
        {"success not through the authorization",
         [&](const TrashWait& w) { return acknowledgement(w, true); },
         std::string(kNotExecutedByAuthorization), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cancel->store(false);
        auto authorization = authorize(item);
        const TrashWait wait = wait_for(authorization);
        channel.first.send(c.answer(wait));
        EXPECT_EQ(await(wait), c.expected);
        EXPECT_EQ(is_cancelled(cancel), c.cancels);
        EXPECT_EQ(authorization->state(), TrashState::Failed);  // given up
    }
}

TEST_F(Wait, ASuccessWithoutAnAuthorizationIsCheckedAtThePath) {
    const TrashWait wait = wait_for(nullptr);
    channel.first.send(acknowledgement(wait, true));
    EXPECT_EQ(await(wait), kItemRemains);

    // Another entry at the path (the first is kept, so its inode cannot be reused).
    fs::rename(item, tmp / "w/kept");
    tmp.write_file("w/item", "another");
    channel.first.send(acknowledgement(wait, true));
    EXPECT_EQ(await(wait), "moved");

    fs::remove(item);
    channel.first.send(acknowledgement(wait, true));
    EXPECT_EQ(await(wait), "moved");
    EXPECT_FALSE(is_cancelled(cancel));  // no authorization: the run is not stopped

    channel.first.send(acknowledgement(wait, false, "Refused"));
    EXPECT_EQ(await(wait), "Refused");
    EXPECT_FALSE(is_cancelled(cancel));
}

// The step gives up while a host still holds the reservation: it waits for that host
// within the grace period and takes its outcome. The expired wait has stopped the run
// whatever that outcome.
TEST_F(Wait, AHostThatReservedInTimeIsWaitedFor) {
    struct Case {
        TrashState settles_as;
        std::string expected;
    };
    const Case cases[] = {
        {TrashState::Trashed, "moved"},
        {TrashState::Indeterminate, "indeterminate"},
        {TrashState::Reserved, "indeterminate"},  // still running when the grace ends
    };
    for (const Case& c : cases) {
        cancel->store(false);
        auto authorization = authorize(item);
        ASSERT_TRUE(reserve_trash_authorization(*authorization, authorization->token()));
        // The host settles once the wait has expired (and so stopped the run); a grace far
        // longer than a busy machine needs to get there, except where the grace must end.
        const bool settles = c.settles_as != TrashState::Reserved;
        TrashWaitTimings timings = kQuick;
        if (settles) timings.host_grace = 60s;
        std::thread host([&] {
            if (!settles) return;
            bramvelt::testing::eventually([&] { return is_cancelled(cancel); });
            authorization->store_state(c.settles_as);
        });
        EXPECT_EQ(describe(await_native_trash(wait_for(authorization), channel.second, timings)),
                  c.expected);
        host.join();
        EXPECT_TRUE(is_cancelled(cancel));
    }
}

TEST(AcknowledgementChannel, DeliversInOrderAndDisconnectsOnceTheLastSenderIsGone) {
    std::optional<AcknowledgementSender> sender;
    AcknowledgementReceiver receiver = [&] {
        auto channel = open_acknowledgement_channel();
        sender.emplace(channel.first);
        return channel.second;
    }();
    std::optional<AcknowledgementSender> second(std::in_place, *sender);
    std::thread host([copy = *sender] {
        for (int i = 0; i < 3; ++i) copy.send({"item-" + std::to_string(i), "t", true, {}, {}});
    });
    host.join();
    for (int i = 0; i < 3; ++i) {
        const Received r = receiver.receive_until(Clock::now() + 1s);
        ASSERT_EQ(r.kind, Received::Kind::Message);
        EXPECT_EQ(r.message->item_id, "item-" + std::to_string(i));
    }
    EXPECT_EQ(receiver.receive_until(Clock::now() + 10ms).kind, Received::Kind::Timeout);
    second.reset();
    EXPECT_EQ(receiver.receive_until(Clock::now() + 10ms).kind, Received::Kind::Timeout);
    sender->send({"last", "t", false, {}, {}});
    sender.reset();
    // What was sent before the last sender went is still delivered.
    EXPECT_EQ(receiver.receive_until(Clock::now() + 10ms).message->item_id, "last");
    EXPECT_EQ(receiver.receive_until(Clock::now() + 1s).kind, Received::Kind::Disconnected);
}

}  // namespace
}  // namespace bramvelt::host_trash
