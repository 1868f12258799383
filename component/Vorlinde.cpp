// Vorlinde: the joint-angle RT-Component.
//
// onExecute is called by the component's periodic execution context, on the
// context's own thread, once per period while the component is active (the
// rate is the profile's 1.0 Hz unless the configuration sets another). It
// shares nothing with the viewer but arm_angle, whose entries are atomic.
#include "Vorlinde.h"

#include <cmath>

#include "arm_angle.h"
#include "tuning.h"

static const char* vorlinde_spec[] = {
  "implementation_id", "Vorlinde",
  "type_name", "Vorlinde",
  "description", "VorlindeComp",
  "version", "1.0.0",
  "vendor", "Zelvaro",
  "category", "TEST",
  "activity_type", "PERIODIC",
  "kind", "DataFlowComponent",
  "max_instance", "1",
  "language", "C++",
  "lang_type", "compile",
  "exec_cxt.periodic.rate", "1.0",
  // Configuration parameters (rtconf, RT System Editor, rtc.conf):
  // the labelling threshold, 0..255 or auto, auto_median, auto_otsu,
  // auto_adaptive; the printed marker's width in mm.
  "conf.default.threshold", "100",
  "conf.default.marker_width", "80.0",
  "conf.__widget__.threshold", "text",
  "conf.__widget__.marker_width", "text",
  "conf.__constraints__.marker_width", "x>0",
  ""
};

Vorlinde::Vorlinde(RTC::Manager* manager)
  : RTC::DataFlowComponentBase(manager),
    angleData(),
    anglePort("Angle", angleData)
{
}

namespace
{
  // The configuration's listeners, handing each change to the component.
  class SetChanged : public RTC::ConfigurationSetListener
  {
  public:
    explicit SetChanged(Vorlinde& c) : m_component(c) {}
    void operator()(const coil::Properties& set) { m_component.setValuesChanged(set); }

  private:
    Vorlinde& m_component;
  };

  class SetActivated : public RTC::ConfigurationSetNameListener
  {
  public:
    explicit SetActivated(Vorlinde& c) : m_component(c) {}
    void operator()(const char* set_id) { m_component.setActivated(set_id); }

  private:
    Vorlinde& m_component;
  };

  const char* const parameters[] = {"threshold", "marker_width"};
  const int parameterCount = 2;
}

// The port is registered here, not in the constructor: a manager names the
// component after constructing it and fixes each port's name
// ("Vorlinde0.Angle") and its port.inport.Angle.* keys when the port is
// registered.
RTC::ReturnCode_t Vorlinde::onInitialize()
{
  registerInPort("Angle", anglePort);
  bindParameter("threshold", threshold, "100", parseThreshold);
  bindParameter("marker_width", markerWidth, "80.0", parseMarkerWidth);
  // The sets the component starts with (its profile, rtc.conf), then
  // what tools do with them.
  coil::Properties& props = getProperties();
  const coil::Properties conf = props.getNode("conf");
  const std::vector<std::string> keys = conf.propertyNames();
  for (std::vector<std::string>::const_iterator k = keys.begin(); k != keys.end(); ++k)
    {
      const std::string::size_type dot = k->find('.');
      if (dot != std::string::npos)
        sets[k->substr(0, dot)][k->substr(dot + 1)] = conf.getProperty(*k);
    }
  addConfigurationSetListener(RTC::ON_SET_CONFIG_SET, new SetChanged(*this));
  addConfigurationSetListener(RTC::ON_ADD_CONFIG_SET, new SetChanged(*this));
  addConfigurationSetNameListener(RTC::ON_ACTIVATE_CONFIG_SET, new SetActivated(*this));
  tuned_threshold.store(threshold);
  tuned_marker_width.store(markerWidth);
  return RTC::RTC_OK;
}

void Vorlinde::setValuesChanged(const coil::Properties& set)
{
  std::map<std::string, std::string> values;
  {
    std::lock_guard<std::mutex> lock(setsMutex);
    std::map<std::string, std::string>& known = sets[set.getName()];
    for (int i = 0; i < parameterCount; ++i)
      if (set.hasKey(parameters[i]))
        known[parameters[i]] = values[parameters[i]] = set.getProperty(parameters[i]);
  }
  if (std::string(set.getName()) == getConfigService().getActiveId())
    publish(values);
}

void Vorlinde::setActivated(const char* set_id)
{
  std::map<std::string, std::string> values;
  {
    std::lock_guard<std::mutex> lock(setsMutex);
    values = sets[set_id];
  }
  publish(values);
}

// A value the parameter does not take changes nothing: the viewer keeps
// what it had, as the bound variable does.
void Vorlinde::publish(const std::map<std::string, std::string>& values)
{
  std::map<std::string, std::string>::const_iterator t = values.find("threshold");
  int newThreshold = 0;
  if (t != values.end() && parseThreshold(newThreshold, t->second.c_str()))
    tuned_threshold.store(newThreshold);
  std::map<std::string, std::string>::const_iterator w = values.find("marker_width");
  double newWidth = 0;
  if (w != values.end() && parseMarkerWidth(newWidth, w->second.c_str()))
    tuned_marker_width.store(newWidth);
}

Vorlinde::~Vorlinde()
{
}

RTC::ReturnCode_t Vorlinde::onExecute(RTC::UniqueId ec_id)
{
  if (!anglePort.isNew())
    return RTC::RTC_OK;
  // Copy only a datum actually read: an unsuccessful read leaves the
  // previous datum in angleData, and copying that again would undo the
  // key steps made since it arrived.
  if (!anglePort.read())
    return RTC::RTC_OK;
  // An entry that is no angle (NaN, an infinity) is not copied: the joint
  // would vanish from the picture, and no key step could bring it back.
  const CORBA::ULong n = angleData.data.length();
  for (CORBA::ULong i = 0; i < n && i < 3; ++i)
    if (std::isfinite(angleData.data[i]))
      arm_angle[i] = angleData.data[i];
  return RTC::RTC_OK;
}

static RTC::RTObject_impl* createVorlinde(RTC::Manager* manager)
{
  return new Vorlinde(manager);
}

static void deleteVorlinde(RTC::RTObject_impl* rtc)
{
  if (rtc != 0)
    delete rtc;
}

extern "C"
{
  void registerVorlindeFactory(RTC::Manager* manager)
  {
    coil::Properties profile(vorlinde_spec);
    manager->registerFactory(profile, createVorlinde, deleteVorlinde);
  }

  void VorlindeInit(RTC::Manager* manager)
  {
    registerVorlindeFactory(manager);
  }
}
