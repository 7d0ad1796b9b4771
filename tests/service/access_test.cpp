#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "service/access.h"

namespace kv::service {
namespace {

TEST(AccessTest, HostsAndOriginsAreTheServicesOwnOnly)
{
    AccessRules r;
    r.hosts = AllowedHosts({"127.0.0.1", "::1"}, 8742, {"tower.lan", "proxy.example:443"});
    EXPECT_EQ(r.hosts, (std::vector<std::string>{"127.0.0.1:8742", "[::1]:8742", "localhost:8742",
                                                 "tower.lan:8742", "proxy.example:443"}));
    EXPECT_TRUE(HostAllowed(r, "LOCALHOST:8742"));
    EXPECT_TRUE(HostAllowed(r, "[::1]:8742"));
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:8743", "127.0.0.2:8742", "localhost.attacker.example:8742",
                            "attacker.example", "127.0.0.1:8742 ", "[::1]", "tower.lan"})
        EXPECT_FALSE(HostAllowed(r, bad)) << bad;

    EXPECT_TRUE(OriginAllowed(r, ""));
    EXPECT_TRUE(OriginAllowed(r, "http://127.0.0.1:8742"));
    EXPECT_TRUE(OriginAllowed(r, "https://proxy.example:443"));
    for (const char* bad : {"null", "http://attacker.example", "http://127.0.0.1:8742.attacker.example",
                            "http://127.0.0.1", "file://", "127.0.0.1:8742", "http://localhost:8742/x"})
        EXPECT_FALSE(OriginAllowed(r, bad)) << bad;

    // Beyond loopback, no "localhost".
    EXPECT_EQ(AllowedHosts({"192.0.2.7"}, 80, {}), (std::vector<std::string>{"192.0.2.7:80"}));
}

TEST(AccessTest, OnlyLoopbackAddressesCountAsLoopback)
{
    for (const char* a : {"127.0.0.1", "127.8.9.10", "::1", "localhost"})
        EXPECT_TRUE(IsLoopbackAddress(a)) << a;
    for (const char* a : {"0.0.0.0", "::", "192.0.2.1", "::ffff:127.0.0.1", "128.0.0.1", "localhost.", "127.1", ""})
        EXPECT_FALSE(IsLoopbackAddress(a)) << a;
    EXPECT_FALSE(IsListenAddress("example.org"));
    EXPECT_TRUE(IsListenAddress("0.0.0.0"));
}

TEST(AccessTest, TheBearerTokenMustMatchWhole)
{
    const std::string t(64, 'c');
    EXPECT_TRUE(BearerMatches(t, "Bearer " + t));
    EXPECT_TRUE(BearerMatches(t, "bearer " + t));
    for (const std::string& bad : std::vector<std::string>{"", "Bearer", "Bearer ", "Bearer " + t + "c", "Bearer " + t.substr(1),
                                   "Basic " + t, t, "Bearer  " + t})
        EXPECT_FALSE(BearerMatches(t, bad)) << bad;
    // No token set matches nothing, not even nothing.
    EXPECT_FALSE(TokenEquals("", ""));
}

class TokenFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrivaned-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(TokenFileTest, MadeOnceWithMode0600AndKeptAfter)
{
    const std::string state = dir_ + "/a/kestrivane";
    const TokenFile made = LoadOrMakeToken(state);
    ASSERT_TRUE(made.ok) << made.error;
    EXPECT_TRUE(made.created);
    EXPECT_EQ(made.token.size(), 64u);
    EXPECT_EQ(made.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(made.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const TokenFile again = LoadOrMakeToken(state);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_FALSE(again.created);
    EXPECT_EQ(again.token, made.token);
    // Two starts never share a token.
    EXPECT_NE(LoadOrMakeToken(dir_ + "/b").token, made.token);
}

TEST_F(TokenFileTest, AFileOthersMayReadOrWithoutATokenIsRefused)
{
    const TokenFile made = LoadOrMakeToken(dir_);
    ASSERT_TRUE(made.ok);
    ASSERT_EQ(chmod(made.path.c_str(), 0644), 0);
    TokenFile f = LoadOrMakeToken(dir_);
    EXPECT_FALSE(f.ok);
    EXPECT_TRUE(f.token.empty());
    EXPECT_NE(f.error.find("chmod 600"), std::string::npos) << f.error;

    ASSERT_EQ(chmod(made.path.c_str(), 0600), 0);
    std::ofstream(made.path) << "secret\n";
    f = LoadOrMakeToken(dir_);
    EXPECT_FALSE(f.ok);
    EXPECT_NE(f.error.find("holds no token"), std::string::npos) << f.error;
}

}  // namespace
}  // namespace kv::service
