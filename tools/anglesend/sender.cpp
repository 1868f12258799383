// The sending component and the calls a tool makes: written against the
// C++ API every RT-Middleware runtime provides and plain CORBA (the naming
// service through CosNaming), so that it builds against an installed
// OpenRTM-aist as well as against the project's own runtime.
#include "sender.h"

#include <omniORB4/Naming.hh>

#include <vector>

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

    void appendString(SDOPackage::NVList& list, const char* name, const char* value)
    {
      const CORBA::ULong n = list.length();
      list.length(n + 1);
      list[n].name = CORBA::string_dup(name);
      list[n].value <<= value;
    }

    // "a.kind/b.kind" as a CosNaming name: each segment's id is the text
    // before its last dot, its kind the text after it.
    CosNaming::Name toName(const std::string& path)
    {
      CosNaming::Name name;
      std::string::size_type start = 0;
      while (start <= path.size())
        {
          std::string::size_type end = path.find('/', start);
          if (end == std::string::npos)
            end = path.size();
          const std::string segment = path.substr(start, end - start);
          if (!segment.empty())
            {
              const std::string::size_type dot = segment.rfind('.');
              const CORBA::ULong n = name.length();
              name.length(n + 1);
              name[n].id = CORBA::string_dup(segment.substr(0, dot).c_str());
              name[n].kind = CORBA::string_dup(dot == std::string::npos ? "" : segment.substr(dot + 1).c_str());
            }
          start = end + 1;
        }
      return name;
    }

    // The naming service's root, its calls bounded in time; nil (and why)
    // when it cannot be reached.
    CosNaming::NamingContext_ptr namingRoot(const std::string& server, unsigned timeout_ms, std::string& address,
                                            std::string& error)
    {
      address = server.compare(0, 7, "ssliop:") == 0 ? "corbaloc:ssliop:" + server.substr(7) + "/NameService"
                                                     : "corbaloc::" + server + "/NameService";
      try
        {
          int argc = 0;
          CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
          CORBA::Object_var obj = orb->string_to_object(address.c_str());
          omniORB::setClientCallTimeout(obj, timeout_ms);
          CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(obj);
          if (!CORBA::is_nil(root))
            {
              omniORB::setClientCallTimeout(root, timeout_ms);
              return root._retn();
            }
        }
      catch (const CORBA::Exception&)
        {
        }
      error = "the naming service " + address + " cannot be reached (is it running, is the address right?)";
      return CosNaming::NamingContext::_nil();
    }

    // Every object below ctx bound as id.kind, with its path.
    void findAll(CosNaming::NamingContext_ptr ctx, const std::string& prefix, const std::string& id,
                 const std::string& kind, int depth, std::vector<std::pair<std::string, CORBA::Object_var> >& out)
    {
      if (depth > 16)
        return;
      CosNaming::BindingList_var list;
      CosNaming::BindingIterator_var rest;
      ctx->list(1000, list.out(), rest.out());
      for (CORBA::ULong i = 0; i < list->length(); ++i)
        {
          const CosNaming::NameComponent& leaf = list[i].binding_name[0];
          const std::string here = prefix + leaf.id.in() + (leaf.kind.in()[0] ? std::string(".") + leaf.kind.in() : "");
          CORBA::Object_var obj = ctx->resolve(list[i].binding_name);
          if (list[i].binding_type == CosNaming::ncontext)
            {
              CosNaming::NamingContext_var sub = CosNaming::NamingContext::_narrow(obj);
              if (!CORBA::is_nil(sub))
                findAll(sub, here + "/", id, kind, depth + 1, out);
            }
          else if (id == leaf.id.in() && kind == leaf.kind.in())
            out.emplace_back(here, obj);
        }
      if (!CORBA::is_nil(rest))
        rest->destroy();
    }
  }

  AngleSender* startSender(const std::string& program, const std::vector<std::string>& options)
  {
    // The rtc.conf of the working directory gives the ORB's options (end
    // points, name servers); what it says to load, create, connect or
    // serve is for the host it was written for, not for this sender.
    std::vector<std::string> args = {program,
                                     "-o", "naming.enable:NO",
                                     "-o", "manager.modules.preload:",
                                     "-o", "manager.components.precreate:",
                                     "-o", "manager.components.preconnect:",
                                     "-o", "manager.components.preactivation:",
                                     "-o", "manager.is_master:NO",
                                     "-o", "manager.corba_servant:NO"};
    args.insert(args.begin() + 1, options.begin(), options.end());
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

  std::string firstNameServer()
  {
    const std::string list = RTC::Manager::instance().getConfig().getProperty("corba.nameservers");
    std::string first = list.substr(0, list.find(','));
    first.erase(0, first.find_first_not_of(" \t"));
    first.erase(first.find_last_not_of(" \t") + 1);
    return first.empty() ? "localhost" : first;
  }

  bool findPort(const std::string& nameserver, const std::string& target, RTC::PortService_var& port,
                std::string& error, unsigned timeout_ms)
  {
    const std::string::size_type colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == target.size())
      {
        error = "target \"" + target + "\" must name a port: PATH/INSTANCE.rtc:PORT or INSTANCE:PORT";
        return false;
      }
    const std::string path = target.substr(0, colon), portName = target.substr(colon + 1);
    std::string address;
    CosNaming::NamingContext_var root = namingRoot(nameserver, timeout_ms, address, error);
    if (CORBA::is_nil(root))
      return false;
    CORBA::Object_var obj;
    try
      {
        if (path.find('/') != std::string::npos || path.find(".rtc") != std::string::npos)
          obj = root->resolve(toName(path));
        else
          {
            std::vector<std::pair<std::string, CORBA::Object_var> > found;
            findAll(root, "", path, "rtc", 0, found);
            if (found.size() > 1)
              {
                error = "\"" + path + "\" is bound " + std::to_string(found.size()) + " times in " + address +
                        "; name it by its full path (e.g. " + found[0].first + ":" + portName + ")";
                return false;
              }
            if (!found.empty())
              obj = found[0].second;
          }
      }
    catch (const CosNaming::NamingContext::NotFound&)
      {
      }
    catch (const CORBA::UserException&)
      {
      }
    catch (const CORBA::SystemException&)
      {
        error = "the naming service " + address + " cannot be reached (is it running, is the address right?)";
        return false;
      }
    if (CORBA::is_nil(obj))
      {
        error = "no component \"" + path + "\" in the naming service " + address;
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
            const std::string full = profile->name.in();
            const std::string shortName = full.substr(full.rfind('.') + 1);
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
        // A connection closed at once is how a component that requires TLS
        // refuses a sender without the right certificate.
        if (dynamic_cast<const CORBA::COMM_FAILURE*>(&e) != nullptr || dynamic_cast<const CORBA::TRANSIENT*>(&e) != nullptr)
          error += "; if it requires TLS, give --ssl-ca and --ssl-key (or -f its rtc.conf) with a certificate from its CA";
      }
    return false;
  }

  std::string connect(RTC::PortBase& ours, RTC::PortService_ptr target, bool connect_on_target, std::string& error)
  {
    RTC::PortService_var mine = ours._this();
    RTC::ConnectorProfile profile;
    profile.name = CORBA::string_dup("AngleAngle");
    profile.connector_id = CORBA::string_dup("");
    profile.ports.length(2);
    profile.ports[0] = RTC::PortService::_duplicate(connect_on_target ? target : mine.in());
    profile.ports[1] = RTC::PortService::_duplicate(connect_on_target ? mine.in() : target);
    appendString(profile.properties, "dataport.dataflow_type", "push");
    appendString(profile.properties, "dataport.interface_type", "corba_cdr");
    appendString(profile.properties, "dataport.subscription_type", "flush");
    appendString(profile.properties, "dataport.data_type", "IDL:RTC/TimedFloatSeq:1.0");
    try
      {
        const RTC::ReturnCode_t rc = profile.ports[0]->connect(profile);
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

  bool connected(RTC::PortBase& ours)
  {
    RTC::ConnectorProfileList_var list = ours.get_connector_profiles();
    return list->length() > 0;
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
        const RTC::ReturnCode_t rc = ecs[0]->activate_component(owner);
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
}
