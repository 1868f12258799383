// Listeners of a component's configuration, as the middleware defines
// them: what changed and when (see RTObject_impl's add...Listener).
//
//   ON_UPDATE_CONFIG_PARAM  a parameter's string changed while a set was
//                           applied (also when it did not convert); on the
//                           thread that applies (the execution context's)
//   ON_SET_CONFIG_SET       a tool changed values of a set
//   ON_ADD_CONFIG_SET       a tool added a set
//   ON_UPDATE_CONFIG_SET    a set was applied to the bound variables
//   ON_REMOVE_CONFIG_SET    a tool removed a set
//   ON_ACTIVATE_CONFIG_SET  a set was made active (also at start)
//
// The set and name listeners of tools' calls run on the ORB thread of the
// call; none is called with a lock of the configuration held.
#ifndef RTM_CONFIGURATIONLISTENER_H
#define RTM_CONFIGURATIONLISTENER_H

#include <rtm/config_rtc.h>
#include <coil/Properties.h>

RTM_NAMESPACE_BEGIN(RTC)
  enum ConfigurationParamListenerType
  {
    ON_UPDATE_CONFIG_PARAM,
    CONFIG_PARAM_LISTENER_NUM
  };

  enum ConfigurationSetListenerType
  {
    ON_SET_CONFIG_SET,
    ON_ADD_CONFIG_SET,
    CONFIG_SET_LISTENER_NUM
  };

  enum ConfigurationSetNameListenerType
  {
    ON_UPDATE_CONFIG_SET,
    ON_REMOVE_CONFIG_SET,
    ON_ACTIVATE_CONFIG_SET,
    CONFIG_SET_NAME_LISTENER_NUM
  };

  class ConfigurationParamListener
  {
  public:
    virtual ~ConfigurationParamListener() {}
    // The parameter's name and its new value.
    virtual void operator()(const char* config_set_name, const char* config_param_name) = 0;
  };

  class ConfigurationSetListener
  {
  public:
    virtual ~ConfigurationSetListener() {}
    // The set as the tool gave it: its name is the set's id, its keys the
    // parameters.
    virtual void operator()(const coil::Properties& config_set) = 0;
  };

  class ConfigurationSetNameListener
  {
  public:
    virtual ~ConfigurationSetNameListener() {}
    virtual void operator()(const char* config_set_name) = 0;
  };
RTM_NAMESPACE_END

#endif
