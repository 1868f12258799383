// Connections and activations the configuration asks for at start:
// manager.components.preconnect and manager.components.preactivation,
// between local components or with components named in a naming service
// (rtcname://HOST:PORT/PATH/INST, PATH "*" for anywhere in it).
#include "ManagerImpl.h"

#include "ManagerConfig.h"
#include "NVUtil.h"
#include "Report.h"

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    const char RTCNAME[] = "rtcname://";

    // A component by instance name here, or by its name in a naming service.
    RTObject_ptr findObject(Manager& m, CORBA::ORB_ptr orb, const std::string& name)
    {
      if (name.compare(0, sizeof RTCNAME - 1, RTCNAME) != 0)
        {
          RTObject_impl* rtc = m.getComponent(name.c_str());
          return rtc != nullptr ? rtc->getObjRef() : RTObject::_nil();
        }
      const std::string rest = name.substr(sizeof RTCNAME - 1);
      const std::string::size_type slash = rest.find('/');
      const std::string::size_type last = rest.rfind('/');
      if (slash == std::string::npos || (last == slash && rest.size() == slash + 1))
        return RTObject::_nil();
      const std::string server = rest.substr(0, slash);
      const std::string path = rest.substr(slash + 1);
      NamingClient client(orb, server);
      CORBA::Object_var obj;
      if (path.compare(0, 2, "*/") == 0)
        {
          const auto found = client.find(path.substr(2), "rtc");
          if (!found.empty())
            obj = CORBA::Object::_duplicate(found.front().second);
        }
      else
        obj = client.resolve(path + ".rtc");
      return CORBA::is_nil(obj) ? RTObject::_nil() : RTObject::_narrow(obj);
    }

    // "INST.PORT" (or a component named as above, then ".PORT").
    PortService_ptr findPort(Manager& m, CORBA::ORB_ptr orb, const std::string& name)
    {
      const std::string::size_type dot = name.rfind('.');
      if (dot == std::string::npos)
        return PortService::_nil();
      const std::string owner = name.substr(0, dot);
      RTObject_var rtc = findObject(m, orb, owner);
      if (CORBA::is_nil(rtc))
        return PortService::_nil();
      const std::string wanted = owner.substr(owner.rfind('/') == std::string::npos ? 0 : owner.rfind('/') + 1) +
                                 name.substr(dot);
      PortServiceList_var ports = rtc->get_ports();
      for (CORBA::ULong i = 0; i < ports->length(); ++i)
        {
          PortProfile_var profile = ports[i]->get_port_profile();
          if (wanted == static_cast<const char*>(profile->name))
            return PortService::_duplicate(ports[i]);
        }
      return PortService::_nil();
    }

    void connectEntry(Manager& m, CORBA::ORB_ptr orb, const std::string& entry)
    {
      const std::string::size_type q = entry.find('?');
      PortService_var local = findPort(m, orb, coil::trim(entry.substr(0, q)));
      if (CORBA::is_nil(local))
        {
          warn("preconnect \"" + Report::quote(entry) + "\": no such port here");
          return;
        }
      ConnectorProfile profile;
      profile.name = CORBA::string_dup(entry.c_str());
      profile.connector_id = CORBA::string_dup("");
      std::vector<PortService_var> ports{local};
      coil::Properties keys;
      keys.setProperty("dataport.interface_type", "corba_cdr");
      keys.setProperty("dataport.dataflow_type", "push");
      keys.setProperty("dataport.subscription_type", "flush");
      for (const std::string& pair : split(q == std::string::npos ? "" : entry.substr(q + 1), '&'))
        {
          const std::string::size_type eq = pair.find('=');
          if (eq == std::string::npos)
            continue;
          const std::string key = coil::trim(pair.substr(0, eq)), value = coil::trim(pair.substr(eq + 1));
          if (key.compare(0, 4, "port") == 0)
            {
              PortService_var target = findPort(m, orb, value);
              if (CORBA::is_nil(target))
                warn("preconnect \"" + Report::quote(entry) + "\": no port \"" + Report::quote(value) + "\"");
              else
                ports.push_back(target);
            }
          else
            keys.setProperty("dataport." + key, value);
        }
      if (ports.size() < 2)
        return;
      profile.ports.length(static_cast<CORBA::ULong>(ports.size()));
      for (std::size_t i = 0; i < ports.size(); ++i)
        profile.ports[static_cast<CORBA::ULong>(i)] = PortService::_duplicate(ports[i]);
      profile.properties = NVUtil::fromProperties(keys);
      const ReturnCode_t code = local->connect(profile);
      if (code != RTC_OK)
        warn("preconnect \"" + Report::quote(entry) + "\": the connection was refused (code " +
             std::to_string(static_cast<int>(code)) + ")");
    }
  }

  void Manager::Impl::preconnect(Manager& m)
  {
    for (const std::string& entry : splitList(config.getProperty("manager.components.preconnect")))
      {
        try
          {
            connectEntry(m, orb, entry);
          }
        catch (const CORBA::Exception& e)
          {
            warn("preconnect \"" + Report::quote(entry) + "\": " + e._name());
          }
      }
  }

  void Manager::Impl::preactivate(Manager& m)
  {
    for (const std::string& name : splitList(config.getProperty("manager.components.preactivation")))
      {
        try
          {
            RTObject_var rtc = findObject(m, orb, name);
            ExecutionContextList_var ecs;
            if (!CORBA::is_nil(rtc))
              ecs = rtc->get_owned_contexts();
            if (CORBA::is_nil(rtc) || ecs->length() == 0)
              {
                warn("preactivation \"" + Report::quote(name) + "\": no such component, or it has no context");
                continue;
              }
            const ReturnCode_t code = ecs[0]->activate_component(rtc);
            if (code != RTC_OK)
              warn("preactivation \"" + Report::quote(name) + "\": not activated (code " +
                   std::to_string(static_cast<int>(code)) + ")");
          }
        catch (const CORBA::Exception& e)
          {
            warn("preactivation \"" + Report::quote(name) + "\": " + e._name());
          }
      }
  }
RTM_NAMESPACE_END
