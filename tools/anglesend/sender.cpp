#include "sender.h"

#include <vector>

#include "Naming.h"
#include "NVUtil.h"

namespace sender
{
  AngleSender::AngleSender(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager), data(), port("Angle", data)
  {
  }

  // Registered once the manager has named the component, so that the
  // port is "<instance>.Angle".
  RTC::ReturnCode_t AngleSender::onInitialize()
  {
    registerOutPort("Angle", port);
    return RTC::RTC_OK;
  }

  namespace
  {
    const char* sender_spec[] = {
      "implementation_id", "AngleSender",
      "type_name", "AngleSender",
      "description", "Joint angle sender",
      "version", "1.0.0",
      "vendor", "Zelvaro",
      "category", "Tool",
      "activity_type", "PERIODIC",
      "kind", "DataFlowComponent",
      "max_instance", "1",
      "language", "C++",
      "lang_type", "compile",
      ""
    };

    RTC::RTObject_impl* createSender(RTC::Manager* m) { return new AngleSender(m); }
    void deleteSender(RTC::RTObject_impl* rtc) { delete rtc; }
  }

  AngleSender* startSender(const std::string& program)
  {
    std::vector<std::string> args = {program, "-o", "naming.enable:NO", "-o",
                                     "manager.components.precreate:"};
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    RTC::Manager* manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
    manager->activateManager();
    coil::Properties profile(sender_spec);
    manager->registerFactory(profile, createSender, deleteSender);
    return dynamic_cast<AngleSender*>(manager->createComponent("AngleSender"));
  }

  bool findPort(const std::string& nameserver, const std::string& target,
                RTC::PortService_var& port, std::string& error, unsigned timeout_ms)
  {
    std::string::size_type colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == target.size())
      {
        error = "target \"" + target + "\" must name a port: PATH/INSTANCE.rtc:PORT or INSTANCE:PORT";
        return false;
      }
    std::string path = target.substr(0, colon);
    std::string portName = target.substr(colon + 1);
    CORBA::ORB_var orb = RTC::NVUtil::theORB();
    RTC::NamingClient naming(orb, nameserver, timeout_ms);

    CORBA::Object_var obj;
    std::string instance;
    if (path.find('/') != std::string::npos || path.find(".rtc") != std::string::npos)
      {
        obj = naming.resolve(path);
        CosNaming::Name name = RTC::NamingClient::toName(path);
        instance = name.length() > 0 ? name[name.length() - 1].id.in() : "";
      }
    else
      {
        instance = path;
        auto found = naming.find(path, "rtc");
        if (found.size() > 1)
          {
            error = "\"" + path + "\" is bound " + std::to_string(found.size()) +
                    " times in " + naming.address() + "; name it by its full path (e.g. " +
                    found[0].first + ":" + portName + ")";
            return false;
          }
        if (!found.empty())
          obj = found[0].second;
      }
    if (CORBA::is_nil(obj))
      {
        // A wrong address or a service that is down is not a missing name.
        CORBA::Object_var root;
        if (naming.lookup("", root) == RTC::NamingClient::UNREACHABLE)
          error = "the naming service " + naming.address() +
                  " cannot be reached (is it running, is the address right?)";
        else
          error = "no component \"" + path + "\" in the naming service " + naming.address();
        return false;
      }
    try
      {
        RTC::RTObject_var rtc = RTC::RTObject::_narrow(obj);
        if (CORBA::is_nil(rtc))
          {
            error = "\"" + path + "\" is not an RT component";
            return false;
          }
        RTC::PortServiceList_var ports = rtc->get_ports();
        for (CORBA::ULong i = 0; i < ports->length(); ++i)
          {
            RTC::PortProfile_var profile = ports[i]->get_port_profile();
            std::string full = profile->name.in();
            std::string shortName = full.substr(full.rfind('.') + 1);
            if (full == portName || shortName == portName)
              {
                port = RTC::PortService::_duplicate(ports[i]);
                return true;
              }
          }
        error = "component \"" + path + "\" has no port \"" + portName + "\"";
      }
    catch (const CORBA::Exception& e)
      {
        error = "component \"" + path + "\" does not answer (" + e._name() + ")";
      }
    return false;
  }

  std::string connect(RTC::PortBase& ours, RTC::PortService_ptr target, bool connect_on_target,
                      std::string& error)
  {
    RTC::PortService_var mine = ours.getPortRef();
    RTC::ConnectorProfile profile;
    profile.name = CORBA::string_dup("AngleAngle");
    profile.connector_id = CORBA::string_dup("");
    profile.ports.length(2);
    profile.ports[0] = RTC::PortService::_duplicate(connect_on_target ? target : mine.in());
    profile.ports[1] = RTC::PortService::_duplicate(connect_on_target ? mine.in() : target);
    RTC::NVUtil::appendString(profile.properties, "dataport.dataflow_type", "push");
    RTC::NVUtil::appendString(profile.properties, "dataport.interface_type", "corba_cdr");
    RTC::NVUtil::appendString(profile.properties, "dataport.subscription_type", "flush");
    RTC::NVUtil::appendString(profile.properties, "dataport.data_type",
                              RTC::dataTypeName<RTC::TimedFloatSeq>());
    try
      {
        RTC::ReturnCode_t rc = profile.ports[0]->connect(profile);
        if (rc != RTC::RTC_OK)
          {
            error = std::string("the connection was refused (") + returnCodeName(rc) + ")";
            return "";
          }
      }
    catch (const CORBA::Exception& e)
      {
        error = std::string("connecting failed (") + e._name() + ")";
        return "";
      }
    return profile.connector_id.in();
  }

  bool activateOwner(RTC::PortService_ptr port, std::string& error)
  {
    try
      {
        RTC::PortProfile_var profile = port->get_port_profile();
        RTC::RTObject_var owner = RTC::RTObject::_duplicate(profile->owner);
        if (CORBA::is_nil(owner))
          {
            error = "the port names no owner to activate";
            return false;
          }
        RTC::ExecutionContextList_var ecs = owner->get_owned_contexts();
        if (ecs->length() == 0)
          {
            error = "the target component has no execution context";
            return false;
          }
        if (ecs[0]->get_component_state(owner) == RTC::ACTIVE_STATE)
          return true;
        RTC::ReturnCode_t rc = ecs[0]->activate_component(owner);
        if (rc != RTC::RTC_OK && ecs[0]->get_component_state(owner) != RTC::ACTIVE_STATE)
          {
            error = std::string("activation failed (") + returnCodeName(rc) + ")";
            return false;
          }
        return true;
      }
    catch (const CORBA::Exception& e)
      {
        error = std::string("activation failed (") + e._name() + ")";
        return false;
      }
  }

  const char* returnCodeName(RTC::ReturnCode_t rc)
  {
    static const char* names[] = {"RTC_OK", "RTC_ERROR", "BAD_PARAMETER", "UNSUPPORTED",
                                  "OUT_OF_RESOURCES", "PRECONDITION_NOT_MET"};
    return rc <= RTC::PRECONDITION_NOT_MET ? names[rc] : "unknown return code";
  }

  const char* portStatusName(OpenRTM::PortStatus status)
  {
    static const char* names[] = {"PORT_OK", "PORT_ERROR", "BUFFER_FULL", "BUFFER_EMPTY",
                                  "BUFFER_TIMEOUT", "UNKNOWN_ERROR"};
    return status <= OpenRTM::UNKNOWN_ERROR ? names[status] : "unknown status";
  }
}
