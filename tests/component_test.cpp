// The Vorlinde component in one process: its factory, its port, and what
// onExecute copies into arm_angle for each kind of datum.
#include <gtest/gtest.h>

#include <cmath>

#include "Vorlinde.h"
#include "arm_angle.h"
#include "tuning.h"

#include <rtm/ConfigAdmin.h>
#include "sender.h"

namespace
{
  RTC::Manager& manager()
  {
    static RTC::Manager* m = [] {
      const char* args[] = {"component_test", "-o", "naming.enable:NO", nullptr};
      RTC::Manager* mgr = RTC::Manager::init(3, const_cast<char**>(args));
      mgr->activateManager();
      registerVorlindeFactory(mgr);
      return mgr;
    }();
    return *m;
  }

  // Opens onExecute to the test; the component is never activated, so its
  // own execution context never calls it.
  class TestableVorlinde : public Vorlinde
  {
  public:
    using Vorlinde::anglePort;
  };

  struct Rig
  {
    Rig()
    {
      RTC::RTObject_impl* rtc = manager().createComponent("Vorlinde");
      comp = static_cast<TestableVorlinde*>(dynamic_cast<Vorlinde*>(rtc));
      out = sender::startSender("component_test");
      std::string error;
      RTC::PortService_var in = comp->anglePort.getPortRef();
      EXPECT_FALSE(sender::connect(out->port, in, false, error).empty()) << error;
    }
    void send(std::vector<float> values)
    {
      out->data.tm.sec = 0;
      out->data.tm.nsec = 0;
      out->data.data.length(static_cast<CORBA::ULong>(values.size()));
      for (std::size_t i = 0; i < values.size(); ++i)
        out->data.data[static_cast<CORBA::ULong>(i)] = values[i];
      ASSERT_TRUE(out->port.write());
    }
    TestableVorlinde* comp;
    sender::AngleSender* out;
  };

  void setAngles(float a, float b, float c)
  {
    arm_angle[0] = a;
    arm_angle[1] = b;
    arm_angle[2] = c;
  }

  std::vector<float> angles() { return {arm_angle[0], arm_angle[1], arm_angle[2]}; }
}

TEST(VorlindeFactory, CreatesNumberedInstancesWithTheAnglePort)
{
  RTC::RTObject_impl* first = manager().createComponent("Vorlinde");
  ASSERT_NE(first, nullptr);
  EXPECT_NE(dynamic_cast<Vorlinde*>(first), nullptr);
  EXPECT_EQ(first->getInstanceName(), "Vorlinde0");
  EXPECT_EQ(first->getProperties().getProperty("exec_cxt.periodic.rate"), "1.0");
  RTC::PortServiceList_var ports = first->get_ports();
  ASSERT_EQ(ports->length(), 1u);
  RTC::PortProfile_var profile = ports[0]->get_port_profile();
  EXPECT_STREQ(profile->name, "Vorlinde0.Angle");
  RTC::RTObject_impl* second = manager().createComponent("Vorlinde?instance_name=Arm");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->getInstanceName(), "Arm");
  EXPECT_EQ(manager().createComponent("NoSuchComponent"), nullptr);
  RTC::ExecutionContextList_var ecs = first->get_owned_contexts();
  ASSERT_EQ(ecs->length(), 1u);
  EXPECT_DOUBLE_EQ(ecs[0]->get_rate(), 1.0);
  RTC::RTObject_var ref = first->getObjRef();
  EXPECT_EQ(ecs[0]->get_component_state(ref), RTC::INACTIVE_STATE);

  // The factory templates a module may register instead of its own
  // functions (a leak check sees whether the whole object goes).
  RTC::RTObject_impl* made = RTC::Create<Vorlinde>(&manager());
  ASSERT_NE(dynamic_cast<Vorlinde*>(made), nullptr);
  RTC::Delete<Vorlinde>(made);
}

TEST(VorlindeExecute, CopiesAsManyEntriesAsTheDatumCarries)
{
  struct Case
  {
    const char* what;
    std::vector<float> datum;  // empty vector with send=false: no datum at all
    bool send;
    std::vector<float> expected;
  };
  const Case cases[] = {
    {"no new data", {}, false, {1, 2, 3}},
    {"empty sequence", {}, true, {1, 2, 3}},
    {"one float: joint 0 only", {30}, true, {30, 2, 3}},
    {"three floats", {30, -45, 90}, true, {30, -45, 90}},
    {"five floats: the rest ignored", {5, 6, 7, 8, 9}, true, {5, 6, 7}},
    {"entries that are no angle keep their joint", {NAN, 5, INFINITY}, true, {1, 5, 3}},
    {"minus infinity", {-INFINITY}, true, {1, 2, 3}},
  };
  Rig rig;
  for (const Case& c : cases)
    {
      SCOPED_TRACE(c.what);
      setAngles(1, 2, 3);
      if (c.send)
        rig.send(c.datum);
      EXPECT_EQ(rig.comp->onExecute(0), RTC::RTC_OK);
      EXPECT_EQ(angles(), c.expected);
    }
}

TEST(VorlindeExecute, KeyStepsSurviveUntilTheNextDatumAndOneDatumPerCall)
{
  Rig rig;
  setAngles(0, 0, 0);
  rig.send({30, -45, 90});
  rig.send({31, -46, 91});
  rig.comp->onExecute(0);
  EXPECT_EQ(angles(), (std::vector<float>{30, -45, 90}));  // one datum per call
  rig.comp->onExecute(0);
  EXPECT_EQ(angles(), (std::vector<float>{31, -46, 91}));
  arm_angle[0] = arm_angle[0] + 10.0f;  // a key step
  rig.comp->onExecute(0);               // no new data: the step stays
  rig.comp->onExecute(0);
  EXPECT_EQ(angles(), (std::vector<float>{41, -46, 91}));
  rig.send({1});
  rig.comp->onExecute(0);  // the next datum overwrites only what it carries
  EXPECT_EQ(angles(), (std::vector<float>{1, -46, 91}));
}

// The conversions of the component's parameters and of bound variables in
// general: what a tool may type, and what the variable then holds.
TEST(VorlindeParameters, ConversionTable)
{
  struct ThresholdCase { const char* text; bool ok; int value; } thresholds[] = {
    {"100", true, 100}, {" 0 ", true, 0}, {"255", true, 255}, {"auto", true, TUNED_THRESHOLD_AUTO},
    {"auto_median", true, TUNED_THRESHOLD_AUTO_MEDIAN}, {"auto_otsu", true, TUNED_THRESHOLD_AUTO_OTSU},
    {"auto_adaptive", true, TUNED_THRESHOLD_AUTO_ADAPTIVE}, {"-3", false, 0}, {"256", false, 0},
    {"abc", false, 0}, {"12abc", false, 0}, {"", false, 0}, {"AUTO", false, 0}, {"99999999999", false, 0},
  };
  for (const ThresholdCase& c : thresholds)
    {
      int value = 7;
      EXPECT_EQ(parseThreshold(value, c.text), c.ok) << '"' << c.text << '"';
      EXPECT_EQ(value, c.ok ? c.value : 7) << '"' << c.text << '"';
    }
  struct WidthCase { const char* text; bool ok; double value; } widths[] = {
    {"80.0", true, 80.0}, {"160", true, 160.0}, {"1e2", true, 100.0}, {"0", false, 0},
    {"-80", false, 0}, {"abc", false, 0}, {"nan", false, 0}, {"inf", false, 0}, {"1e300", false, 0},
    {"1e-300", false, 0}, {"0.009", false, 0}, {"0.01", true, 0.01}, {"100000", true, 100000.0},
    {"100001", false, 0},
  };
  for (const WidthCase& c : widths)
    {
      double value = 7;
      EXPECT_EQ(parseMarkerWidth(value, c.text), c.ok) << '"' << c.text << '"';
      EXPECT_EQ(value, c.ok ? c.value : 7) << '"' << c.text << '"';
    }
  // Bound variables through the default conversion.
  int i = 0;
  double d = 0;
  bool b = false;
  std::string s;
  EXPECT_TRUE(coil::stringTo(i, " 12abc"));
  EXPECT_EQ(i, 12);
  EXPECT_FALSE(coil::stringTo(i, "abc"));
  EXPECT_FALSE(coil::stringTo(i, "99999999999"));
  EXPECT_TRUE(coil::stringTo(d, "1e3"));
  EXPECT_EQ(d, 1000.0);
  EXPECT_TRUE(coil::stringTo(b, " YES "));
  EXPECT_TRUE(b);
  EXPECT_TRUE(coil::stringTo(b, "off"));
  EXPECT_FALSE(b);
  EXPECT_FALSE(coil::stringTo(b, "maybe"));
  EXPECT_TRUE(coil::stringTo(s, "two words"));
  EXPECT_EQ(s, "two words");

  // A value that does not convert leaves the variable as it was, and the
  // name cannot be bound twice.
  RTC::ConfigAdmin admin;
  coil::Properties props;
  props.setProperty("conf.default.n", "5");
  props.setProperty("conf.other.n", "x");
  admin.load(props, "test");
  int n = 0;
  EXPECT_TRUE(admin.bindParameter("n", n, "1"));
  EXPECT_EQ(n, 5);
  EXPECT_FALSE(admin.bindParameter("n", n, "2"));
  EXPECT_FALSE(admin.bindParameter("m", n, "not a number"));
  EXPECT_TRUE(admin.activateSet("other"));
  admin.update();
  EXPECT_EQ(n, 5);

  // A component without parameters: no set until its active set is asked
  // for, then an empty "default" (what rtconf lists as +default*).
  RTC::ConfigAdmin none;
  none.load(coil::Properties(), "none");
  EXPECT_TRUE(none.sets().empty());
  RTC::ConfigAdmin::Set active;
  ASSERT_TRUE(none.getActiveSet(active));
  EXPECT_EQ(active.id, "default");
  EXPECT_EQ(none.sets().size(), 1u);
}
