// Vorlinde.so as a middleware manager loads it: dlopen, the init symbol,
// then a component created from the factory it registered.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <rtm/Manager.h>

TEST(VorlindeModule, LoadsRegistersAndCreates)
{
  const char* args[] = {"module_test", "-o", "naming.enable:NO", nullptr};
  RTC::Manager* manager = RTC::Manager::init(3, const_cast<char**>(args));
  manager->activateManager();

  std::string path = std::string(PROJ_BINARY_DIR) + "/component/Vorlinde.so";
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  typedef void (*InitFunc)(RTC::Manager*);
  InitFunc init = reinterpret_cast<InitFunc>(dlsym(module, "VorlindeInit"));
  ASSERT_NE(init, nullptr) << "VorlindeInit is not exported";
  EXPECT_NE(dlsym(module, "registerVorlindeFactory"), nullptr);
  init(manager);

  RTC::RTObject_impl* rtc = manager->createComponent("Vorlinde");
  ASSERT_NE(rtc, nullptr);
  EXPECT_EQ(rtc->getInstanceName(), "Vorlinde0");
  RTC::ComponentProfile_var profile = rtc->get_component_profile();
  EXPECT_STREQ(profile->type_name, "Vorlinde");
  EXPECT_STREQ(profile->vendor, "Zelvaro");
  ASSERT_EQ(profile->port_profiles.length(), 1u);
  EXPECT_STREQ(profile->port_profiles[0].name, "Vorlinde0.Angle");
}
