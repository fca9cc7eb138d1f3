#include "net/client_caps.h"

#include <gtest/gtest.h>

#include <utility>

using zephrane::net::ClientCaps;

TEST(ClientCaps, RefusesPastEitherCapAndGivesPlacesBack) {
    ClientCaps caps(2, 3);
    ClientCaps::Refusal why = ClientCaps::Refusal::None;
    auto a1 = caps.admit("10.0.0.1", &why);
    auto a2 = caps.admit("10.0.0.1", &why);
    EXPECT_TRUE(a1 && a2);
    EXPECT_FALSE(caps.admit("10.0.0.1", &why));
    EXPECT_EQ(why, ClientCaps::Refusal::PerAddress);

    auto b1 = caps.admit("10.0.0.2", &why);
    EXPECT_TRUE(b1);
    EXPECT_FALSE(caps.admit("10.0.0.3", &why));
    EXPECT_EQ(why, ClientCaps::Refusal::Total);

    a1 = {};
    EXPECT_EQ(caps.open("10.0.0.1"), 1u);
    EXPECT_EQ(caps.total(), 2u);
    auto c1 = caps.admit("10.0.0.3", &why);
    EXPECT_TRUE(c1);
    EXPECT_EQ(why, ClientCaps::Refusal::None);

    // A moved-from slot holds nothing: moving must not count a place twice.
    ClientCaps::Slot moved = std::move(c1);
    EXPECT_EQ(caps.total(), 3u);
    moved = std::move(b1);
    EXPECT_EQ(caps.total(), 2u);
    EXPECT_EQ(caps.open("10.0.0.3"), 0u);
}

TEST(ClientCaps, ASlotMayOutliveTheCapsThatGaveIt) {
    // A connection handed over to another server can close after the first one is gone.
    ClientCaps::Slot slot;
    {
        ClientCaps caps(1, 1);
        slot = caps.admit("127.0.0.1");
        ASSERT_TRUE(slot);
    }
    slot = ClientCaps::Slot();
    EXPECT_FALSE(slot);
}
