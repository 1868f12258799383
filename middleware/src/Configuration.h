// SDOPackage::Configuration over a component's ConfigAdmin: the sets and
// their values as strings, answered as real components answer (including
// their exceptions); the single-parameter operations are the empty stubs
// peers have. No service profiles (a status observer is politely refused).
#ifndef RTM_SRC_CONFIGURATION_H
#define RTM_SRC_CONFIGURATION_H

#include <rtm/config_rtc.h>
#include <string>

#include <rtm/ConfigAdmin.h>
#include <rtm/RTC.h>

#include "ConnectionGuard.h"

RTM_NAMESPACE_BEGIN(RTC)
  class Configuration_impl
    : public virtual POA_SDOPackage::Configuration,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    explicit Configuration_impl(ConfigAdmin& admin) : m_admin(admin) {}

    virtual CORBA::Boolean _dispatch(omniCallHandle& handle)
    {
      ConnectionGuard::admitRequest(handle, ConnectionGuard::messageLimit());
      return POA_SDOPackage::Configuration::_dispatch(handle);
    }

    virtual CORBA::Boolean set_device_profile(const SDOPackage::DeviceProfile&) { return true; }
    virtual CORBA::Boolean add_service_profile(const SDOPackage::ServiceProfile&) { return false; }
    virtual CORBA::Boolean add_organization(SDOPackage::Organization_ptr) { return false; }
    virtual CORBA::Boolean remove_service_profile(const char*) { return false; }
    virtual CORBA::Boolean remove_organization(const char*) { return false; }
    virtual SDOPackage::ParameterList* get_configuration_parameters() { return new SDOPackage::ParameterList; }
    virtual SDOPackage::NVList* get_configuration_parameter_values() { return new SDOPackage::NVList; }
    virtual CORBA::Any* get_configuration_parameter_value(const char* name)
    {
      if (name == nullptr || *name == '\0')
        throw SDOPackage::InvalidParameter("Name is empty.");
      return new CORBA::Any;
    }
    virtual CORBA::Boolean set_configuration_parameter(const char*, const CORBA::Any&) { return true; }

    virtual SDOPackage::ConfigurationSetList* get_configuration_sets()
    {
      const std::vector<ConfigAdmin::Set> sets = m_admin.sets();
      SDOPackage::ConfigurationSetList* list = new SDOPackage::ConfigurationSetList;
      list->length(static_cast<CORBA::ULong>(sets.size()));
      for (CORBA::ULong i = 0; i < sets.size(); ++i)
        toWire(sets[i], (*list)[i]);
      return list;
    }

    virtual SDOPackage::ConfigurationSet* get_configuration_set(const char* config_id)
    {
      if (config_id == nullptr || *config_id == '\0')
        throw SDOPackage::InternalError("ID is empty");
      ConfigAdmin::Set set;
      if (!m_admin.getSet(config_id, set))
        throw SDOPackage::InternalError("Unknown exception");
      SDOPackage::ConfigurationSet* out = new SDOPackage::ConfigurationSet;
      toWire(set, *out);
      return out;
    }

    virtual CORBA::Boolean set_configuration_set_values(const SDOPackage::ConfigurationSet& configuration_set)
    {
      if (*configuration_set.id.in() == '\0')
        throw SDOPackage::InvalidParameter("ID is empty.");
      return m_admin.setSetValues(fromWire(configuration_set));
    }

    virtual SDOPackage::ConfigurationSet* get_active_configuration_set()
    {
      // Never NotAvailable, unlike some peers: an editor that is told so
      // drops the component from its view.
      ConfigAdmin::Set set{"default", "", {}, false};
      m_admin.getActiveSet(set);
      SDOPackage::ConfigurationSet* out = new SDOPackage::ConfigurationSet;
      toWire(set, *out);
      return out;
    }

    virtual CORBA::Boolean add_configuration_set(const SDOPackage::ConfigurationSet& configuration_set)
    {
      return m_admin.addSet(fromWire(configuration_set));
    }

    virtual CORBA::Boolean remove_configuration_set(const char* config_id)
    {
      if (config_id == nullptr || *config_id == '\0')
        throw SDOPackage::InvalidParameter("ID is empty.");
      return m_admin.removeSet(config_id);
    }

    virtual CORBA::Boolean activate_configuration_set(const char* config_id)
    {
      if (config_id == nullptr || *config_id == '\0')
        throw SDOPackage::InvalidParameter("ID is empty.");
      if (!m_admin.activateSet(config_id))
        throw SDOPackage::InvalidParameter("Configuration::activate_configuration_set()");
      return true;
    }

  private:
    static void toWire(const ConfigAdmin::Set& set, SDOPackage::ConfigurationSet& out)
    {
      out.id = CORBA::string_dup(set.id.c_str());
      out.description = CORBA::string_dup(set.description.c_str());
      out.configuration_data.length(static_cast<CORBA::ULong>(set.values.size()));
      for (CORBA::ULong i = 0; i < set.values.size(); ++i)
        {
          out.configuration_data[i].name = CORBA::string_dup(set.values[i].first.c_str());
          out.configuration_data[i].value <<= set.values[i].second.c_str();
        }
    }

    // String values only; others are skipped.
    static ConfigAdmin::Set fromWire(const SDOPackage::ConfigurationSet& in)
    {
      ConfigAdmin::Set set{in.id.in(), "", {}, false};
      for (CORBA::ULong i = 0; i < in.configuration_data.length(); ++i)
        {
          const char* value = nullptr;
          if (in.configuration_data[i].value >>= value)
            set.values.emplace_back(in.configuration_data[i].name.in(), value);
        }
      return set;
    }

    ConfigAdmin& m_admin;
  };
RTM_NAMESPACE_END

#endif
