// Vorlinde: the joint-angle RT-Component.
//
// One input port "Angle" (RTC::TimedFloatSeq), registered in onInitialize.
// Each period of its execution
// context, while the component is active, onExecute takes the next datum
// from the port and copies its first three floats into arm_angle.
#ifndef VORLINDE_H
#define VORLINDE_H

// The data type header comes first: the port names its type through it.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/Manager.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <coil/Properties.h>

#include <map>
#include <mutex>
#include <string>

class Vorlinde : public RTC::DataFlowComponentBase
{
public:
  Vorlinde(RTC::Manager* manager);
  virtual ~Vorlinde();

  virtual RTC::ReturnCode_t onInitialize();
  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id);

  // What the viewer reads follows the configuration at once, in every
  // state (the window runs whether the component is active or not): the
  // configuration's listeners call these with the sets as tools change
  // and activate them.
  void setValuesChanged(const coil::Properties& set);
  void setActivated(const char* set_id);

protected:
  void publish(const std::map<std::string, std::string>& values);

  // Configuration parameters "threshold" and "marker_width", bound to the
  // configuration (they change with the component's life cycle).
  int threshold = 100;
  double markerWidth = 80.0;

  // The values of every set as the listeners have seen them, by set id.
  std::mutex setsMutex;
  std::map<std::string, std::map<std::string, std::string> > sets;

  RTC::TimedFloatSeq angleData;
  RTC::InPort<RTC::TimedFloatSeq> anglePort;
};

extern "C"
{
  // Registers the component's factory with the manager.
  void registerVorlindeFactory(RTC::Manager* manager);
  // Module init function, for a manager that loads Vorlinde.so.
  DLL_EXPORT void VorlindeInit(RTC::Manager* manager);
}

#endif
