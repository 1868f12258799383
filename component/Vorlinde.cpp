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

// The port is registered here, not in the constructor: a manager names the
// component after constructing it and fixes each port's name
// ("Vorlinde0.Angle") and its port.inport.Angle.* keys when the port is
// registered.
RTC::ReturnCode_t Vorlinde::onInitialize()
{
  registerInPort("Angle", anglePort);
  bindParameter("threshold", threshold, "100", parseThreshold);
  bindParameter("marker_width", markerWidth, "80.0", parseMarkerWidth);
  publishParameters();
  return RTC::RTC_OK;
}

// The parameters as the viewer reads them. The runtime writes the bound
// variables on this thread only (at start, before onActivated and after
// onStateUpdate), so what is published here is whole and current.
void Vorlinde::publishParameters()
{
  tuned_threshold.store(threshold);
  tuned_marker_width.store(markerWidth);
}

RTC::ReturnCode_t Vorlinde::onActivated(RTC::UniqueId)
{
  publishParameters();
  return RTC::RTC_OK;
}

Vorlinde::~Vorlinde()
{
}

RTC::ReturnCode_t Vorlinde::onExecute(RTC::UniqueId ec_id)
{
  publishParameters();
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
