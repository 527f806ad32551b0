// What a pool's walls are made of, from the host's mount table: which
// hierarchy serves which job, and which walls a request gets or is refused.
#include <gtest/gtest.h>

#include "sandbox/cgroup.hpp"
#include "sandbox/policy.hpp"

namespace lumvex {
namespace {

// v1 controllers beside an empty v2 hierarchy, as on hosts in transition;
// a blank in a mount point is escaped as \040.
constexpr const char kMixed[] =
    "22 28 0:21 / /proc rw,relatime - proc proc rw\n"
    "33 32 0:30 / /sys/fs/cgroup/cpu\\040x rw,relatime - cgroup cgroup rw,cpu\n"
    "34 32 0:31 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "38 32 0:35 / /sys/fs/cgroup/freezer rw,relatime - cgroup cgroup rw,freezer\n"
    "40 32 0:37 / /sys/fs/cgroup/pids rw,relatime shared:9 - cgroup cgroup rw,pids\n"
    "42 32 0:39 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
    "garbage line without separator\n";

TEST(CgroupHost, ParsesV1ControllersAndTheV2Mount) {
  CgroupHost host = CgroupHost::parse(kMixed);
  EXPECT_EQ(host.cpu, "/sys/fs/cgroup/cpu x");
  EXPECT_EQ(host.cpuacct, "/sys/fs/cgroup/cpuacct");
  EXPECT_EQ(host.memory, "/sys/fs/cgroup/memory");
  EXPECT_EQ(host.freezer, "/sys/fs/cgroup/freezer");
  EXPECT_EQ(host.pids, "/sys/fs/cgroup/pids");
  EXPECT_EQ(host.v2, "/sys/fs/cgroup/unified");
  EXPECT_EQ(CgroupHost::parse("").v2, std::nullopt);
}

TEST(CgroupPlan, UsesV2WhereItOffersAControllerAndV1Elsewhere) {
  CgroupHost host = CgroupHost::parse(kMixed);
  CgroupPlan mixed = CgroupPlan::choose(host);
  EXPECT_EQ(mixed.kill, (Hierarchy{"/sys/fs/cgroup/unified", true}));
  EXPECT_EQ(mixed.memory, (Hierarchy{"/sys/fs/cgroup/memory", false}));
  EXPECT_EQ(mixed.cpu_usage, (Hierarchy{"/sys/fs/cgroup/unified", true}));
  EXPECT_EQ(mixed.hierarchies().size(), 4u);  // unified, memory, pids, cpu

  host.v2_controllers = "cpuset cpu io memory pids";
  CgroupPlan v2 = CgroupPlan::choose(host);
  EXPECT_EQ(v2.hierarchies(), (std::vector<Hierarchy>{{"/sys/fs/cgroup/unified", true}}));

  host.v2.reset();
  CgroupPlan v1 = CgroupPlan::choose(host);
  EXPECT_EQ(v1.kill, (Hierarchy{"/sys/fs/cgroup/freezer", false}));
  EXPECT_EQ(v1.cpu_usage, (Hierarchy{"/sys/fs/cgroup/cpuacct", false}));

  EXPECT_EQ(CgroupPlan::choose(CgroupHost{}).hierarchies(), std::vector<Hierarchy>{});
}

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// A request with one option changed.
template <typename F>
WallRequest asking(F&& change) {
  WallRequest request;
  change(request);
  return request;
}

TEST(SandboxPolicy, DefaultsProtectTheHost) {
  auto policy = SandboxPolicy::make(WallRequest{}, CgroupHost::parse(kMixed), true, 24 * kGiB);
  ASSERT_TRUE(policy) << policy.error();
  EXPECT_EQ(policy->limits.memory, 6 * kGiB);
  EXPECT_EQ(policy->limits.processes, 512u);
  EXPECT_EQ(policy->limits.cpu, std::nullopt);
  EXPECT_EQ(policy->disk, kGiB);
  const Walls& w = policy->walls;
  EXPECT_TRUE(w.cgroup && w.memory && w.processes && w.disk && w.tmp && w.proc);
  EXPECT_FALSE(w.cpu || w.network);

  auto small = SandboxPolicy::make(asking([](WallRequest& r) { r.memory = 64 << 20; }),
                                   CgroupHost::parse(kMixed), true, 24 * kGiB);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->disk, 64u << 20);  // the store is memory too
}

TEST(SandboxPolicy, AWallAskedForThatTheHostLacksIsRefusedByName) {
  const CgroupHost none;
  struct Case {
    WallRequest request;
    bool mounts;
    const char* wall;
  } cases[] = {
      {asking([](WallRequest& r) { r.memory = 1 << 30; }), true, "memory:"},
      {asking([](WallRequest& r) { r.cpu = 0.5; }), true, "cpu:"},
      {asking([](WallRequest& r) { r.disk = 1 << 20; }), false, "disk:"},
      {asking([](WallRequest& r) { r.network = false; }), false, "network:"},
  };
  for (const Case& c : cases) {
    auto policy = SandboxPolicy::make(c.request, none, c.mounts, kGiB);
    ASSERT_FALSE(policy) << c.wall;
    EXPECT_TRUE(policy.error().starts_with(c.wall)) << policy.error();
  }
  // The defaults a host cannot give are simply not in force.
  auto bare = SandboxPolicy::make(WallRequest{}, none, false, kGiB);
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->walls.cgroup || bare->walls.memory || bare->walls.disk || bare->walls.tmp);
  EXPECT_TRUE(bare->walls.processes);
}

TEST(SandboxPolicy, APrivateNetworkWithAWayOutNeedsPastaAndMounts) {
  const WallRequest request = asking([](WallRequest& r) {
    r.network = false;
    r.outbound = true;
  });
  struct Case {
    bool mounts;
    const char* pasta;
    bool given;
  } cases[] = {{true, "/usr/bin/pasta", true}, {true, "", false}, {false, "/usr/bin/pasta", false}};
  for (const Case& c : cases) {
    auto policy = SandboxPolicy::make(request, CgroupHost::parse(kMixed), c.mounts, kGiB, c.pasta);
    ASSERT_EQ(policy.has_value(), c.given) << c.pasta << c.mounts;
    if (!policy) {
      EXPECT_TRUE(policy.error().starts_with("network:")) << policy.error();
      continue;
    }
    EXPECT_TRUE(policy->walls.network && policy->private_network);
    EXPECT_EQ(policy->pasta, c.pasta);
  }
  // Loopback only and the host's network never start pasta, whatever the host has.
  for (bool network : {true, false}) {
    auto plain = SandboxPolicy::make(asking([&](WallRequest& r) { r.network = network; }),
                                     CgroupHost::parse(kMixed), true, kGiB, "/usr/bin/pasta");
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->pasta.empty());
  }
}

TEST(SandboxPolicy, TheDefaultNetworkIsPrivateWhereTheHostCanGiveIt) {
  struct Case {
    bool mounts;
    const char* pasta;
    bool allow;
    bool is_private;  // else the host's network, or (with allow) refused
  } cases[] = {{true, "/usr/bin/pasta", false, true},
               {true, "/usr/bin/pasta", true, true},
               {true, "", false, false},
               {false, "/usr/bin/pasta", false, false},
               {false, "", true, false}};
  for (const Case& c : cases) {
    WallRequest request = asking([&](WallRequest& r) {
      r.private_if_possible = true;
      if (c.allow) r.allow = std::vector<std::string>{"192.0.2.7:443"};
    });
    auto policy = SandboxPolicy::make(request, CgroupHost::parse(kMixed), c.mounts, kGiB, c.pasta,
                                      "/usr/sbin/nft");
    if (c.allow && !c.is_private) {
      ASSERT_FALSE(policy);
      EXPECT_TRUE(policy.error().starts_with("allow:")) << policy.error();
      continue;
    }
    ASSERT_TRUE(policy) << policy.error();
    EXPECT_EQ(policy->private_network, c.is_private);
    EXPECT_EQ(policy->walls.network, c.is_private);
    EXPECT_EQ(policy->pasta, c.is_private ? c.pasta : "");
    EXPECT_EQ(policy->allow.has_value(), c.allow);
  }
}

TEST(AllowList, EntriesParseAsAddressesRangesOrNamesWithOptionalPorts) {
  struct Case {
    const char* text;
    AllowEntry entry;
  } good[] = {
      {"192.0.2.7", {"192.0.2.7", -1, false, false, 0}},
      {"10.0.0.0/8:443", {"10.0.0.0", 8, false, false, 443}},
      {"2001:db8::1", {"2001:db8::1", -1, true, false, 0}},
      {"2001:db8::/32", {"2001:db8::", 32, true, false, 0}},
      {"[2001:db8::1]:53", {"2001:db8::1", -1, true, false, 53}},
      {"[::/0]:80", {"::", 0, true, false, 80}},
      {"pypi.org:443", {"pypi.org", -1, false, true, 443}},
      {"files.example_1-a.org", {"files.example_1-a.org", -1, false, true, 0}},
  };
  for (const Case& c : good) {
    auto entry = parse_allow_entry(c.text);
    ASSERT_TRUE(entry) << c.text << ": " << entry.error();
    EXPECT_EQ(*entry, c.entry) << c.text;
  }
  for (const char* bad : {"", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:x", "300.1.1.1", "1.2.3",
                          "10.0.0.0/33", "::/129", "[::1", "[::1]x", "a b", "host/8", "-x.org",
                          "1.2.3.4:", "x.org:1:2", "{ accept }", "a;b", "2001:db8::1/x"}) {
    auto entry = parse_allow_entry(bad);
    EXPECT_FALSE(entry) << bad;
  }
}

TEST(AllowList, RulesLetOnlyTheEntriesOutAndRefuseTheRestAtOnce) {
  std::vector<AllowEntry> entries = {*parse_allow_entry("192.0.2.7:8080"),
                                     *parse_allow_entry("10.0.0.0/8"),
                                     *parse_allow_entry("pypi.org:443")};
  const std::string rules = firewall_rules(entries, {{}, {}, {"151.101.0.223", "2a04:4e42::223"}});
  for (const char* line :
       {"    oif lo accept\n",
        "    ip daddr 192.0.2.7 meta l4proto { tcp, udp } th dport 8080 accept\n",
        "    ip daddr 10.0.0.0/8 accept\n",
        "    ip daddr 151.101.0.223 meta l4proto { tcp, udp } th dport 443 accept\n",
        "    ip6 daddr 2a04:4e42::223 meta l4proto { tcp, udp } th dport 443 accept\n",
        "    meta l4proto tcp reject with tcp reset\n"}) {
    EXPECT_NE(rules.find(line), std::string::npos) << line << rules;
  }
  // The refusals come last; a name never appears, only its addresses.
  EXPECT_TRUE(rules.ends_with("    reject with icmpx type admin-prohibited\n  }\n}\n"));
  EXPECT_EQ(rules.find("pypi"), std::string::npos);
}

}  // namespace
}  // namespace lumvex
