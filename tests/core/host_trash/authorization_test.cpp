#include "core/host_trash/trash_authorization.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "core/host_trash/host_side.hpp"
#include "core/host_trash/trash_registry.hpp"
#include "core/host_trash/trash_texts.hpp"
#include "support/race.hpp"
#include "tests/core/host_trash/trash_fixture.hpp"

namespace bramvelt::host_trash {
namespace {

using namespace std::chrono_literals;
using testing::TrashTest;
namespace fs = std::filesystem;

std::string reservation(TrashAuthorization& authorization, std::string_view token) {
    const auto result = reserve_trash_authorization(authorization, token);
    return result ? "ok" : result.error();
}

TEST(NewTrashToken, FortyEightLowerCaseHexDigitsNeverRepeated) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string token = new_trash_token().value();
        EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{48}"))) << token;
        EXPECT_TRUE(seen.insert(token).second);
    }
}

using Authorization = TrashTest;

TEST_F(Authorization, ReservedOnceWithTheRightTokenOnly) {
    auto authorization = authorize(tmp.write_file("w/item"));
    const std::string token = authorization->token();
    std::string wrong = token;
    wrong.back() = wrong.back() == '0' ? '1' : '0';

    EXPECT_EQ(reservation(*authorization, wrong), kAuthorizationInvalid);
    EXPECT_EQ(reservation(*authorization, token.substr(1)), kAuthorizationInvalid);
    EXPECT_EQ(reservation(*authorization, token + "0"), kAuthorizationInvalid);
    EXPECT_EQ(reservation(*authorization, ""), kAuthorizationInvalid);
    EXPECT_EQ(authorization->state(), TrashState::Issued);  // a wrong token changes nothing

    EXPECT_EQ(reservation(*authorization, token), "ok");
    EXPECT_EQ(authorization->state(), TrashState::Reserved);
    EXPECT_EQ(reservation(*authorization, token), kAuthorizationUsed);
    EXPECT_EQ(authorization->state(), TrashState::Reserved);
}

TEST_F(Authorization, LivesOneHundredTwentyWholeSeconds) {
    const std::string item = tmp.write_file("w/item");
    struct Case {
        Clock::duration age;
        std::string expected;
    };
    const Case cases[] = {
        {-5s, "ok"},  // a clock that reads earlier than the issue counts as young
        {0s, "ok"},
        {119'500ms, "ok"},
        {120s, std::string(kAuthorizationInvalid)},
        {3600s, std::string(kAuthorizationInvalid)},
    };
    for (const Case& c : cases) {
        auto authorization = authorize(item, Clock::now() - c.age);
        EXPECT_EQ(reservation(*authorization, authorization->token()), c.expected)
            << std::chrono::duration<double>(c.age).count();
        EXPECT_EQ(authorization->state(),
                  c.expected == "ok" ? TrashState::Reserved : TrashState::Issued);
    }
}

TEST_F(Authorization, ACancelledRunReservesNothing) {
    auto authorization = authorize(tmp.write_file("w/item"));
    cancel->store(true);
    EXPECT_EQ(reservation(*authorization, authorization->token()), kAuthorizationInvalid);
    EXPECT_EQ(authorization->state(), TrashState::Issued);
}

// Two hosts race for one authorization, or a host races the step giving it up: exactly
// one side wins every round. A contest: the side that arrived last still won, so the two
// really ran side by side.
TEST_F(Authorization, ReservationRacesHaveOneWinner) {
    const std::string item = tmp.write_file("w/item");
    bramvelt::testing::RaceRounds race(500, 4000, 30s);
    while (race.more()) {
        const int rounds = race.rounds();
        auto authorization = authorize(item);
        const std::string token = authorization->token();
        std::atomic<int> ready = 0;
        std::string first;
        std::string second;
        bool gave_up = false;
        bool a_arrived_first = false;
        const bool against_step = rounds % 2 == 1;
        std::thread a([&] {
            a_arrived_first = ++ready == 1;
            while (ready < 2) std::this_thread::yield();
            first = reservation(*authorization, token);
        });
        std::thread b([&] {
            ++ready;
            while (ready < 2) std::this_thread::yield();
            if (against_step) {
                gave_up = authorization->change_state(TrashState::Issued, TrashState::Failed);
            } else {
                second = reservation(*authorization, token);
            }
        });
        a.join();
        b.join();
        if (against_step) {
            ASSERT_NE(first == "ok", gave_up) << "round " << rounds;
            ASSERT_EQ(authorization->state(), gave_up ? TrashState::Failed : TrashState::Reserved);
            if (gave_up) {
                ASSERT_EQ(first, kAuthorizationUsed);
            }
        } else {
            ASSERT_EQ((first == "ok") + (second == "ok"), 1) << "round " << rounds;
            ASSERT_EQ(first == "ok" ? second : first, kAuthorizationUsed);
            ASSERT_EQ(authorization->state(), TrashState::Reserved);
        }
        race.count((first == "ok") != a_arrived_first);
    }
    bramvelt::testing::conclude(race);
}

TEST_F(Authorization, RegistryLooksUpReplacesAndForgets) {
    auto registry = std::make_shared<TrashRegistry>();
    auto first = authorize(tmp.write_file("w/a"));
    auto second = authorize(tmp.write_file("w/b"));
    EXPECT_EQ(registry->find("item-0"), nullptr);
    {
        TrashRegistration registration(registry, "item-0");
        registry->insert("item-0", first);
        EXPECT_EQ(registry->find("item-0"), first);
        registry->insert("item-0", second);
        EXPECT_EQ(registry->find("item-0"), second);
        EXPECT_EQ(registry->find("item-1"), nullptr);
    }
    EXPECT_EQ(registry->find("item-0"), nullptr);  // the registration's end removes it
    EXPECT_EQ(second.use_count(), 1);
    TrashRegistration without_registry(nullptr, "item-0");  // nothing to remove
}

TEST_F(Authorization, RegistryIsSharedBetweenThreads) {
    auto registry = std::make_shared<TrashRegistry>();
    std::vector<std::shared_ptr<TrashAuthorization>> authorizations;
    for (int i = 0; i < 8; ++i)
        authorizations.push_back(authorize(tmp.write_file("w/" + std::to_string(i))));
    std::atomic<bool> stop = false;
    std::thread reader([&] {
        while (!stop) {
            for (int i = 0; i < 8; ++i) {
                if (auto found = registry->find("item-" + std::to_string(i))) {
                    ASSERT_EQ(found, authorizations[static_cast<std::size_t>(i)]);
                }
            }
        }
    });
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 8; ++i) {
            TrashRegistration registration(registry, "item-" + std::to_string(i));
            registry->insert("item-" + std::to_string(i),
                             authorizations[static_cast<std::size_t>(i)]);
        }
    }
    stop = true;
    reader.join();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(registry->find("item-" + std::to_string(i)), nullptr);
}

TEST_F(Authorization, ServingARequestReservesAndExecutesOnlyARegisteredOne) {
    const std::string item = tmp.write_file("w/item", "x");
    TrashRegistry registry;
    auto authorization = authorize(item);
    registry.insert("item-0", authorization);

    serve_native_trash_request(registry, "item-1", authorization->token(), real_host());
    EXPECT_EQ(authorization->state(), TrashState::Issued);
    serve_native_trash_request(registry, "item-0", std::string(48, 'f'), real_host());
    EXPECT_EQ(authorization->state(), TrashState::Issued);
    EXPECT_TRUE(fs::exists(item));

    serve_native_trash_request(registry, "item-0", authorization->token(), real_host());
    EXPECT_EQ(authorization->state(), TrashState::Trashed);
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(testing::read_text(trash + "/files/item"), "x");
    // Single use: a second request for the same token does nothing more.
    serve_native_trash_request(registry, "item-0", authorization->token(), real_host());
    EXPECT_EQ(authorization->state(), TrashState::Trashed);
}

}  // namespace
}  // namespace bramvelt::host_trash
