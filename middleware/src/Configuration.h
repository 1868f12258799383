// SDOPackage::Configuration for a component without configuration
// parameters: no sets but an always-present active set "default", and no
// service profiles (a status observer is politely refused). Tools drop a
// component whose configuration calls raise, so none of these do.
#ifndef RTM_SRC_CONFIGURATION_H
#define RTM_SRC_CONFIGURATION_H

#include <rtm/RTC.h>

namespace RTC
{
  class Configuration_impl
    : public virtual POA_SDOPackage::Configuration,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    virtual CORBA::Boolean set_device_profile(const SDOPackage::DeviceProfile&) { return true; }
    virtual CORBA::Boolean add_service_profile(const SDOPackage::ServiceProfile&) { return false; }
    virtual CORBA::Boolean add_organization(SDOPackage::Organization_ptr) { return false; }
    virtual CORBA::Boolean remove_service_profile(const char*) { return false; }
    virtual CORBA::Boolean remove_organization(const char*) { return false; }
    virtual SDOPackage::ParameterList* get_configuration_parameters()
    {
      return new SDOPackage::ParameterList;
    }
    virtual SDOPackage::NVList* get_configuration_parameter_values()
    {
      return new SDOPackage::NVList;
    }
    virtual CORBA::Any* get_configuration_parameter_value(const char*)
    {
      throw SDOPackage::InvalidParameter("no such configuration parameter");
    }
    virtual CORBA::Boolean set_configuration_parameter(const char*, const CORBA::Any&)
    {
      return false;
    }
    virtual SDOPackage::ConfigurationSetList* get_configuration_sets()
    {
      return new SDOPackage::ConfigurationSetList;
    }
    virtual SDOPackage::ConfigurationSet* get_configuration_set(const char* config_id)
    {
      if (config_id == nullptr || std::string(config_id) != "default")
        throw SDOPackage::NotAvailable("no such configuration set");
      return defaultSet();
    }
    virtual CORBA::Boolean set_configuration_set_values(const SDOPackage::ConfigurationSet&)
    {
      return false;
    }
    virtual SDOPackage::ConfigurationSet* get_active_configuration_set() { return defaultSet(); }
    virtual CORBA::Boolean add_configuration_set(const SDOPackage::ConfigurationSet&) { return false; }
    virtual CORBA::Boolean remove_configuration_set(const char*) { return false; }
    virtual CORBA::Boolean activate_configuration_set(const char* config_id)
    {
      return config_id != nullptr && std::string(config_id) == "default";
    }

  private:
    static SDOPackage::ConfigurationSet* defaultSet()
    {
      SDOPackage::ConfigurationSet* set = new SDOPackage::ConfigurationSet;
      set->id = CORBA::string_dup("default");
      set->description = CORBA::string_dup("");
      return set;
    }
  };
}

#endif
