// The address list and the session table.
#include "web/web_access.h"

#include <gtest/gtest.h>

#include <set>

#include "support/service_fixture.h"

namespace kvzn::web {
namespace {

TEST(AddressListTest, EntriesAreLeadingPartsOfAddresses) {
    test::ServiceFixture fixture;
    EXPECT_EQ(AddressList(fixture.registry).CheckWebAccessFromClient("203.0.113.9"), 1)
        << "an empty list admits everyone";
    const std::string key = std::string(config::kProductKey) + "\\WebAccess";
    fixture.registry.WriteText(key, "Address1", "10.1");
    fixture.registry.WriteText(key, "Address2", "192.168.0.1, 192.168.0.2\r172.16.");
    fixture.registry.WriteText(key, "Address4", "203.0.113.");  // after a gap: not read
    const AddressList list(fixture.registry);
    for (const char* allowed :
         {"10.10.0.5", "10.1.2.3", "192.168.0.1", "192.168.0.2", "172.16.9.9"}) {
        EXPECT_EQ(list.CheckWebAccessFromClient(allowed), 1) << allowed;
    }
    for (const char* refused : {"192.168.0.3", "203.0.113.9", "11.1.0.1", ""}) {
        EXPECT_EQ(list.CheckWebAccessFromClient(refused), 0) << refused;
    }
}

TEST(SessionTableTest, SessionsAreRandomBoundToTheirAddressAndExpire) {
    platform::FakeClock clock;
    clock.SetUptimeMs(1000 * 1000);
    SessionTable table(clock, 5, 3);
    const Session a = table.Open("10.0.0.1", true);
    const Session b = table.Open("10.0.0.2", false);
    EXPECT_EQ(a.id.size(), 32U);
    EXPECT_NE(a.id, b.id) << "two sessions of the same second differ";
    EXPECT_NE(a.token, a.id);
    EXPECT_TRUE(table.Find(a.id, "10.0.0.1", true));
    EXPECT_FALSE(table.Find(a.id, "10.0.0.9", false)) << "the id is worth nothing elsewhere";
    EXPECT_FALSE(table.Find(b.id, "10.0.0.2", true)) << "no logon, no management pages";
    EXPECT_TRUE(table.Find(b.id, "10.0.0.2", false));
    std::string upper = a.id;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_FALSE(table.Find(upper == a.id ? "x" : upper, "10.0.0.1", false));

    // Each use extends a session by the time-out; an unused one is gone after it.
    clock.SetUptimeMs((1000 + 4 * 60) * 1000);
    EXPECT_TRUE(table.Find(a.id, "10.0.0.1", true));
    clock.SetUptimeMs((1000 + 8 * 60) * 1000);
    EXPECT_TRUE(table.Find(a.id, "10.0.0.1", true));
    EXPECT_FALSE(table.Find(b.id, "10.0.0.2", false));

    // A full table makes room with the least recently used session without a logon.
    const Session c = table.Open("10.0.0.3", false);
    const Session d = table.Open("10.0.0.4", false);
    const Session e = table.Open("10.0.0.5", false);
    EXPECT_EQ(table.Size(), 3U);
    EXPECT_TRUE(table.Find(a.id, "10.0.0.1", true));
    EXPECT_FALSE(table.Find(c.id, "10.0.0.3", false));
    EXPECT_TRUE(table.Find(e.id, "10.0.0.5", false));
    EXPECT_TRUE(table.Remove(d.id, "10.0.0.4"));
    EXPECT_FALSE(table.Remove(d.id, "10.0.0.4"));
}

TEST(SessionTableTest, IdsDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(seen.insert(RandomHex128()).second);
    }
    EXPECT_TRUE(SecretsEqual("s3cret", "s3cret"));
    EXPECT_FALSE(SecretsEqual("s3cret", "s3cre"));
    EXPECT_FALSE(SecretsEqual("s3cret", "S3cret"));
    EXPECT_FALSE(SecretsEqual("", "x"));
}

}  // namespace
}  // namespace kvzn::web
