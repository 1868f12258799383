// The manager's command line, configuration files, properties tables and
// name formats.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <coil/Properties.h>

#include "ManagerConfig.h"
#include "Naming.h"

using namespace RTC;

namespace
{
  struct Argv
  {
    explicit Argv(std::vector<std::string> words) : text(std::move(words))
    {
      for (std::string& w : text)
        ptrs.push_back(&w[0]);
      ptrs.push_back(nullptr);
      original = ptrs;
    }
    int argc() const { return static_cast<int>(text.size()); }
    char** argv() { return ptrs.data(); }
    std::vector<std::string> text;
    std::vector<char*> ptrs, original;
  };
}

TEST(PropertiesTable, StopsAtEmptyKeyTrimsAndKeepsDefaults)
{
  static const char* table[] = {" type_name ", " Vorlinde ", "rate", "1.0", "", "ignored", "x"};
  coil::Properties p(table);
  EXPECT_EQ(p.getProperty("type_name"), "Vorlinde");
  EXPECT_EQ(p.getProperty("rate"), "1.0");
  EXPECT_FALSE(p.hasKey("ignored"));
  EXPECT_FALSE(p.isSet("rate"));  // a default, not a set value
  p.setProperty("rate", "30");
  EXPECT_EQ(p.getProperty("rate"), "30");
  EXPECT_EQ(p.getDefault("rate"), "1.0");

  static const char* counted[] = {"a", "1", "b", "2"};
  coil::Properties q(counted, 2);
  EXPECT_EQ(q.getProperty("a"), "1");
  EXPECT_FALSE(q.hasKey("b"));
}

TEST(PropertiesFile, SeparatorsCommentsContinuationsAndNodes)
{
  std::istringstream file(
    "# comment\n"
    "! also a comment\n"
    "corba.nameservers: host1:2809, host2\n"
    "naming.formats = %h.host_cxt/%n.rtc\n"
    "TEST.Vorlinde.exec_cxt.periodic.rate:  25 \n"
    "long.value: one \\\n"
    "   two\n"
    "escaped\\:key: v\n"
    "bare\n");
  coil::Properties p;
  p.load(file);
  EXPECT_EQ(p.getProperty("corba.nameservers"), "host1:2809, host2");
  EXPECT_EQ(p.getProperty("naming.formats"), "%h.host_cxt/%n.rtc");
  EXPECT_EQ(p.getProperty("long.value"), "one two");
  EXPECT_EQ(p.getProperty("escaped:key"), "v");
  EXPECT_TRUE(p.isSet("bare"));
  coil::Properties node = p.getNode("TEST.Vorlinde");
  EXPECT_EQ(node.getProperty("exec_cxt.periodic.rate"), "25");
  EXPECT_EQ(node.size(), 1);
}

TEST(ManagerArgs, ReadsItsOptionsAndLeavesArgvUntouched)
{
  Argv a({"VorlindeComp", "-display", ":1", "-f", "my.conf", "-o", "exec_cxt.periodic.rate: 30",
          "-oa.b:c:d", "-geometry", "640x480", "-iconic", "-i", "-p", "4000", "-d", "-a"});
  ManagerArgs args = parseManagerArgs(a.argc(), a.argv());
  EXPECT_EQ(args.configFile, "my.conf");
  ASSERT_EQ(args.overrides.size(), 2u);
  EXPECT_EQ(args.overrides[0], std::make_pair(std::string("exec_cxt.periodic.rate"), std::string("30")));
  EXPECT_EQ(args.overrides[1], std::make_pair(std::string("a.b"), std::string("c:d")));
  EXPECT_TRUE(args.ignoreMissing);
  EXPECT_TRUE(args.noServant);
  EXPECT_EQ(args.port, "4000");
  EXPECT_TRUE(args.master);
  EXPECT_TRUE(args.warnings.empty());  // nothing about GLUT's options
  EXPECT_EQ(a.ptrs, a.original);
  EXPECT_EQ(std::string(a.argv()[1]), "-display");
}

TEST(ManagerArgs, MalformedOptionsWarnAndAreIgnored)
{
  Argv a({"prog", "-o", "novalue", "-p", "http", "-f"});
  ManagerArgs args = parseManagerArgs(a.argc(), a.argv());
  EXPECT_TRUE(args.overrides.empty());
  EXPECT_TRUE(args.port.empty());
  EXPECT_TRUE(args.configFile.empty());
  EXPECT_EQ(args.warnings.size(), 3u);
}

TEST(ManagerConfig, MissingExplicitFileIsAnErrorUnlessIgnored)
{
  ManagerArgs args;
  args.configFile = "/nonexistent/rtc.conf";
  coil::Properties config;
  std::string error;
  EXPECT_FALSE(loadManagerConfig(args, config, error));
  EXPECT_NE(error.find("/nonexistent/rtc.conf"), std::string::npos);
  args.ignoreMissing = true;
  args.port = "4000";
  args.overrides.emplace_back("naming.enable", "NO");
  EXPECT_TRUE(loadManagerConfig(args, config, error));
  EXPECT_EQ(config.getProperty("corba.endpoints"), ":4000");
  EXPECT_EQ(config.getProperty("naming.enable"), "NO");
}

TEST(ManagerConfig, FilesThatAreNoConfigurationAreRefusedEvenWithIgnore)
{
  const std::string dir = ::testing::TempDir();
  const std::string big = dir + "big.conf", fits = dir + "fits.conf";
  {
    std::ofstream out(big.c_str());
    out << "naming.enable: NO\n" << std::string(1024 * 1024, '#');
  }
  {
    std::ofstream out(fits.c_str());
    std::string text = "naming.enable: NO\n#";
    out << text << std::string(1024 * 1024 - text.size(), '#');
  }
  struct Case { std::string path; const char* says; } cases[] = {
    {"/dev/zero", "is not a regular file"},
    {dir, "is not a regular file"},
    {big, "is larger than 1 MiB"},
  };
  for (const Case& c : cases)
    for (bool ignore : {false, true})
      {
        ManagerArgs args;
        args.configFile = c.path;
        args.ignoreMissing = ignore;
        coil::Properties config;
        std::string error;
        EXPECT_FALSE(loadManagerConfig(args, config, error)) << c.path;
        EXPECT_EQ(error, "configuration file \"" + c.path + "\" " + c.says +
                           (std::string(c.says).find("MiB") != std::string::npos ? "; no configuration is that long" : ""));
      }
  ManagerArgs args;
  args.configFile = fits;
  coil::Properties config;
  std::string error;
  EXPECT_TRUE(loadManagerConfig(args, config, error)) << error;
  EXPECT_EQ(config.getProperty("naming.enable"), "NO");
}

TEST(ManagerConfig, DefaultsLeaveTheRateUnset)
{
  coil::Properties config;
  setManagerDefaults(config);
  EXPECT_EQ(config.getProperty("naming.formats"), "%h.host_cxt/%n.rtc");
  EXPECT_EQ(config.getProperty("corba.nameservers"), "localhost");
  EXPECT_FALSE(config.hasKey("exec_cxt.periodic.rate"));
}

TEST(NameFormat, ExpandsEveryPlaceholder)
{
  static const char* table[] = {"instance_name", "Vorlinde0", "type_name", "Vorlinde",
                                "version", "1.0.0", "vendor", "Zelvaro", "category", "TEST",
                                "implementation_id", "VorlindeImpl", ""};
  coil::Properties prop(table);
  NameContext ctx{"vm", "manager", 4242, 0};
  setenv("VORLINDE_TEST_ZONE", "lab", 1);
  struct Case { const char* format; const char* expected; } cases[] = {
    {"%h.host_cxt/%n.rtc", "vm.host_cxt/Vorlinde0.rtc"},
    {"%c.cate_cxt/%t%N.rtc", "TEST.cate_cxt/Vorlinde0.rtc"},
    {"%V/%m/%v/%i", "Zelvaro/Vorlinde/1.0.0/VorlindeImpl"},
    {"%M.mgr_cxt/%p/100%%", "manager.mgr_cxt/4242/100%"},
    {"${VORLINDE_TEST_ZONE}.$(VORLINDE_TEST_ZONE)/%n.rtc", "lab.lab/Vorlinde0.rtc"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(expandNameFormat(c.format, prop, ctx), c.expected) << c.format;
}

TEST(NameText, ComponentsByTheLastDotAndBackToTheSameName)
{
  struct Case { std::string path; std::vector<std::pair<const char*, const char*> > name; const char* text; };
  const Case cases[] = {
    {"vm.host_cxt/Vorlinde0.rtc", {{"vm", "host_cxt"}, {"Vorlinde0", "rtc"}}, "vm.host_cxt/Vorlinde0.rtc"},
    {"lab.example.org.host_cxt", {{"lab.example.org", "host_cxt"}}, "lab.example.org.host_cxt"},
    {"plain//x.", {{"plain", ""}, {"x", ""}}, "plain/x"},
    {"dotted.id.", {{"dotted.id", ""}}, "dotted.id."},
    {"a/./b", {{"a", ""}, {"", ""}, {"b", ""}}, "a/./b"},
    {std::string("cut\0/after"), {{"cut", ""}}, "cut"},
  };
  for (const Case& c : cases)
    {
      const CosNaming::Name name = NamingClient::toName(c.path);
      ASSERT_EQ(name.length(), c.name.size()) << c.path;
      for (CORBA::ULong i = 0; i < name.length(); ++i)
        {
          EXPECT_STREQ(name[i].id, c.name[i].first) << c.path;
          EXPECT_STREQ(name[i].kind, c.name[i].second) << c.path;
        }
      const std::string text = NamingClient::toString(name);
      EXPECT_EQ(text, c.text);
      EXPECT_EQ(NamingClient::toString(NamingClient::toName(text)), text) << "reads back as itself";
    }
}

TEST(OrbArguments, EndpointsBoundsAndExtraArgumentsWithQuotes)
{
  coil::Properties config;
  config.setProperty("corba.endpoints", "127.0.0.1:2810, :4000, all");
  config.setProperty("corba.args", "-ORBclientCallTimeOutPeriod 2000 -ORBserverTransportRule \"* ssl\"");
  std::vector<std::string> expected = {
    "-ORBendPoint", "giop:tcp:127.0.0.1:2810", "-ORBendPoint", "giop:tcp::4000",
    "-ORBendPoint", "giop:tcp::", "-ORBendPointPublish", "all(addr)",
    "-ORBgiopMaxMsgSize", std::to_string(DEFAULT_MAX_MESSAGE_BYTES),
    "-ORBclientCallTimeOutPeriod", "2000", "-ORBserverTransportRule", "* ssl"};
  EXPECT_EQ(orbArguments(config), expected) << "the time-out of corba.args replaces ours";
  EXPECT_EQ(callTimeoutMs(config), 2000u);

  // Nothing in corba.args: the runtime's own bounds; a larger message
  // size from corba.args wins.
  config.setProperty("corba.endpoints", "");
  config.setProperty("corba.args", "-ORBgiopMaxMsgSize 4194304");
  expected = {"-ORBclientCallTimeOutPeriod", std::to_string(DEFAULT_CALL_TIMEOUT_MS), "-ORBgiopMaxMsgSize", "4194304"};
  EXPECT_EQ(orbArguments(config), expected);
  EXPECT_EQ(callTimeoutMs(config), DEFAULT_CALL_TIMEOUT_MS);

  struct Case { const char* text; bool ok; std::vector<std::string> words; } cases[] = {
    {"", true, {}},
    {"  -a   b ", true, {"-a", "b"}},
    {"-ORBclientTransportRule \"* ssl, tcp\"", true, {"-ORBclientTransportRule", "* ssl, tcp"}},
    {"x\"a b\"y \"\"", true, {"xa by", ""}},
    {"\"say \\\"hi\\\"\"", true, {"say \"hi\""}},
    {"-ORBserverTransportRule \"* ssl", false, {}},
  };
  for (const Case& c : cases)
    {
      std::vector<std::string> words;
      std::string error;
      EXPECT_EQ(splitArguments(c.text, words, error), c.ok) << c.text;
      if (c.ok)
        EXPECT_EQ(words, c.words) << c.text;
      else
        EXPECT_EQ(error, "corba.args has a double quote that is not closed");
    }
}
