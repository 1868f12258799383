// A component's configuration sets under what tools and peers send: the
// size budget, the log lines a peer's values cause, the lock a large call
// holds, and the listeners.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <rtm/ConfigAdmin.h>

using namespace RTC;

namespace
{
  ConfigAdmin::Set setOf(const std::string& id, std::vector<std::pair<std::string, std::string> > values)
  {
    return ConfigAdmin::Set{id, "", std::move(values), false};
  }

  struct Loaded
  {
    ConfigAdmin admin;
    int threshold = 0;
    Loaded()
    {
      coil::Properties props;
      props.setProperty("conf.default.threshold", "100");
      admin.load(props, "Vorlinde0");
      admin.bindParameter("threshold", threshold, "100");
    }
  };

  std::size_t lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }
}

// A value replaced counts once; a change that does not make the whole
// larger is always taken; every set but "default" (and the active one) can
// be removed; so a full budget never locks a user out.
TEST(ConfigBudget, AFullBudgetNeverLocksTheUserOut)
{
  Loaded c;
  const std::string big(ConfigAdmin::kMaxBytes - 2048, 'x');
  ASSERT_TRUE(c.admin.setSetValues(setOf("default", {{"junk", big}})));
  EXPECT_TRUE(c.admin.setSetValues(setOf("default", {{"junk", big}}))) << "the same value again";
  EXPECT_TRUE(c.admin.setSetValues(setOf("default", {{"threshold", "auto"}})));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(c.admin.setSetValues(setOf("default", {{"more", std::string(4096, 'y')}})));
  EXPECT_FALSE(c.admin.setSetValues(setOf("other", {{"more", std::string(4096, 'y')}})));
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines(said), 1u) << said;
  EXPECT_TRUE(c.admin.setSetValues(setOf("default", {{"junk", "small"}}))) << "shrinking";
  EXPECT_TRUE(c.admin.setSetValues(setOf("other", {{"more", std::string(4096, 'y')}})));
  EXPECT_TRUE(c.admin.removeSet("other")) << "made by set_configuration_set_values";
  EXPECT_FALSE(c.admin.removeSet("default"));
  EXPECT_TRUE(c.admin.addSet(setOf("dim", {{"threshold", "auto_otsu"}})));
  EXPECT_TRUE(c.admin.activateSet("dim"));
  EXPECT_FALSE(c.admin.removeSet("dim")) << "the active set";
  EXPECT_TRUE(c.admin.activateSet("default"));
  EXPECT_TRUE(c.admin.removeSet("dim"));
}

// Flipping between two sets whose values the parameter does not take:
// one line a minute, the value quoted short, its control characters
// escaped; the variable keeps what it had.
TEST(ConfigLog, APeersValuesCannotFloodOrForgeTheLog)
{
  Loaded c;
  const std::string forged = "\nrtc: forged line" + std::string(120 * 1024, 'z');
  ASSERT_TRUE(c.admin.addSet(setOf("a", {{"threshold", "bad-a" + forged}})));
  ASSERT_TRUE(c.admin.addSet(setOf("b", {{"threshold", "bad-b" + forged}})));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 50; ++i)
    {
      c.admin.activateSet(i % 2 ? "a" : "b");
      c.admin.update();
    }
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines(said), 1u) << said.substr(0, 400);
  EXPECT_LT(said.size(), 400u);
  EXPECT_NE(said.find("\\nrtc: forged line"), std::string::npos) << said;
  EXPECT_NE(said.find("...\" is not a value it takes; it keeps \"100\""), std::string::npos) << said;
  EXPECT_EQ(c.threshold, 100);
}

// A tool's call with 30 000 parameters is merged outside the lock that
// the execution context takes to apply a set: the context waits for no
// more than a copy.
TEST(ConfigLock, ALargeCallDoesNotHoldTheExecutionContext)
{
  Loaded c;
  ConfigAdmin::Set huge = setOf("default", {});
  for (int i = 0; i < 30000; ++i)
    huge.values.emplace_back("p" + std::to_string(i), "1");
  std::atomic<bool> done(false);
  double longest = 0;
  std::thread tool([&] {
      for (int round = 0; round < 3; ++round)
        c.admin.setSetValues(huge);
      done = true;
    });
  while (!done)
    {
      const auto start = std::chrono::steady_clock::now();
      c.admin.update(true);
      longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  tool.join();
  EXPECT_LT(longest, 0.25) << "an activation must answer within 0.5 s";
}

namespace
{
  struct Recorder : ConfigurationSetListener, ConfigurationSetNameListener, ConfigurationParamListener
  {
    std::vector<std::string> seen;
    void operator()(const coil::Properties& set) override
    {
      seen.push_back(std::string("set ") + set.getName() + " " + set.getProperty("threshold"));
    }
    void operator()(const char* name) override { seen.push_back(std::string("name ") + name); }
    void operator()(const char* param, const char* value) override
    {
      seen.push_back(std::string("param ") + param + "=" + value);
    }
  };
}

TEST(ConfigListeners, EachChangeIsToldOnce)
{
  Loaded c;
  Recorder r;
  c.admin.addConfigurationSetListener(ON_SET_CONFIG_SET, &r, false);
  c.admin.addConfigurationSetListener(ON_ADD_CONFIG_SET, &r, false);
  c.admin.addConfigurationSetNameListener(ON_ACTIVATE_CONFIG_SET, &r, false);
  c.admin.addConfigurationSetNameListener(ON_REMOVE_CONFIG_SET, &r, false);
  c.admin.addConfigurationSetNameListener(ON_UPDATE_CONFIG_SET, &r, false);
  c.admin.addConfigurationParamListener(ON_UPDATE_CONFIG_PARAM, &r, false);
  c.admin.setSetValues(setOf("default", {{"threshold", "60"}}));
  c.admin.addSet(setOf("dim", {{"threshold", "auto"}}));
  c.admin.activateSet("default");
  c.admin.update();
  c.admin.update();  // nothing activated since: nothing to tell
  c.admin.removeSet("dim");
  const std::vector<std::string> expected = {"set default 60", "set dim auto", "name default", "param threshold=60",
                                             "name default", "name dim"};
  EXPECT_EQ(r.seen, expected);
  EXPECT_EQ(c.threshold, 60);
}
