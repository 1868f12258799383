// The manager object's start and its peers: served at its key, bound by
// name when a master, registered with its master when a slave.
#include <rtm/ManagerServant.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "ManagerImpl.h"
#include "Report.h"

RTM_NAMESPACE_BEGIN(RTM)
  namespace
  {
    typedef RTC::Manager Host;
    const unsigned PEER_CALL_MS = 3000;
  }

  bool ManagerServant::start()
  {
    Host& m = Host::instance();
    Host::Impl& d = *m.m_impl;
    m_master = d.yes("manager.is_master");
    const std::string key = d.config.getProperty("manager.name", "manager");
    try
      {
        // omniORB's INS POA serves an object at a key of our choosing:
        // corbaloc::host:port/manager.
        CORBA::Object_var obj = d.orb->resolve_initial_references("omniINSPOA");
        PortableServer::POA_var ins = PortableServer::POA::_narrow(obj);
        PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(key.c_str());
        ins->activate_object_with_id(id, this);
        PortableServer::POAManager_var pman = ins->the_POAManager();
        pman->activate();
        CORBA::Object_var ref = ins->id_to_reference(id);
        m_objref = RTM::Manager::_narrow(ref);
      }
    catch (const CORBA::Exception& e)
      {
        RTC::warn("the manager object cannot be served at \"" + RTC::Report::quote(key) + "\" (" + e._name() + ")");
        return false;
      }
    if (m_master)
      {
        coil::Properties prop;
        prop.setProperty("instance_name", d.config.getProperty("manager.instance_name"));
        {
          std::lock_guard<std::mutex> lock(d.mutex);
          d.addBindings(nullptr, m_objref, d.config.getProperty("manager.naming_formats"), prop, 0);
        }
        d.syncNames(false);
        return true;
      }
    // A slave looks for its master at once; a host waiting in
    // runManager() looks again while it has none (refreshMasters).
    refreshMasters();
    return true;
  }

  RTM::Manager_ptr ManagerServant::getObjRef() const { return RTM::Manager::_duplicate(m_objref); }

  void ManagerServant::refreshMasters()
  {
    std::vector<Manager_var> masters;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      masters = m_masters;
    }
    std::vector<Manager_var> dead;
    for (Manager_var& x : masters)
      {
        bool gone = true;
        try
          {
            gone = x->_non_existent();
          }
        catch (const CORBA::Exception&)
          {
          }
        if (gone)
          dead.push_back(x);
      }
    bool none = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (Manager_var& x : dead)
        m_masters.erase(std::remove_if(m_masters.begin(), m_masters.end(),
                                       [&](const Manager_var& y) { return y->_is_equivalent(x); }),
                        m_masters.end());
      none = m_masters.empty();
    }
    if (none && !m_leaving)
      findMaster();
  }

  void ManagerServant::findMaster()
  {
    Host::Impl& d = *Host::instance().m_impl;
    const std::string where = "corbaloc::" + d.config.getProperty("corba.master_manager") + "/" +
                              d.config.getProperty("manager.name", "manager");
    static bool said = false;
    try
      {
        CORBA::Object_var obj = d.orb->string_to_object(where.c_str());
        omniORB::setClientCallTimeout(obj, PEER_CALL_MS);
        if (!obj->_is_a("IDL:RTM/Manager:1.0"))
          throw CORBA::BAD_PARAM();
        Manager_var master = RTM::Manager::_narrow(obj);
        if (isSelf(master))
          return;
        omniORB::setClientCallTimeout(master, PEER_CALL_MS);
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (!hasEquivalent(m_masters, master))
            m_masters.push_back(master);
        }
        master->add_slave_manager(m_objref);
        said = false;
      }
    catch (const CORBA::Exception&)
      {
        // Only a master the configuration names is worth a line.
        if (!said && d.config.isSet("corba.master_manager"))
          RTC::warn("no master manager at " + where + "; looking again while running");
        said = true;
      }
  }

  void ManagerServant::leave()
  {
    m_leaving = true;
    std::vector<Manager_var> peers;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      peers = m_master ? m_slaves : m_masters;
    }
    if (peers.empty())
      return;
    // Tells each peer on a thread of its own; the end waits a second at most.
    struct Done
    {
      std::mutex mutex;
      std::condition_variable cv;
      bool finished = false;
    };
    auto done = std::make_shared<Done>();
    Manager_var self = RTM::Manager::_duplicate(m_objref);
    const bool master = m_master;
    std::thread([peers, self, master, done]() {
        for (const Manager_var& x : peers)
          {
            try
              {
                if (master)
                  x->remove_master_manager(self);
                else
                  x->remove_slave_manager(self);
              }
            catch (const CORBA::Exception&)
              {
              }
          }
        std::lock_guard<std::mutex> lock(done->mutex);
        done->finished = true;
        done->cv.notify_all();
      }).detach();
    std::unique_lock<std::mutex> lock(done->mutex);
    done->cv.wait_for(lock, std::chrono::seconds(1), [&] { return done->finished; });
  }
RTM_NAMESPACE_END
