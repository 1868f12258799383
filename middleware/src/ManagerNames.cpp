// The manager's names: each component (and a master manager) bound in
// every naming service, kept there, and removed at the end.
#include "ManagerImpl.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "ManagerConfig.h"

RTM_NAMESPACE_BEGIN(RTC)
  void Manager::Impl::addBindings(RTObject_impl* rtc, CORBA::Object_ptr obj, const std::string& formats,
                                  const coil::Properties& prop, int number)
  {
    const std::string managerName =
      config.getProperty(rtc != nullptr ? "manager.instance_name" : "manager.name");
    const NameContext context{hostName(), managerName, static_cast<long>(getpid()), number};
    for (const std::string& format : splitList(formats))
      {
        Binding b;
        b.rtc = rtc;
        b.path = expandNameFormat(format, prop, context);
        b.obj = CORBA::Object::_duplicate(obj);
        b.state.assign(servers.size(), UNBOUND);
        b.contested.assign(servers.size(), false);
        bindings.push_back(b);
      }
  }


  namespace
  {
    void warnAbout(const NamingClient& client, const std::string& path, const char* what)
    {
      warn("naming service " + client.address() + ": \"" + path + "\" " + what);
    }
  }

  bool Manager::Impl::placeName(NamingClient& client, Binding& b, std::size_t s)
  {
    CORBA::Object_var current;
    const NamingClient::Lookup found = client.lookup(b.path, current);
    if (found == NamingClient::UNREACHABLE)
      return false;
    NameState& state = b.state[s];
    if (found == NamingClient::FOUND && current->_is_equivalent(b.obj))
      {
        state = BOUND;
        return !rebindEachTime || client.bind(b.path, b.obj);
      }
    if (found == NamingClient::FOUND && client.alive(current))
      {
        // Another live component holds the name. A newcomer takes it, as
        // peers do; a name taken from us is left to its new holder, so
        // that two processes do not take it from each other for ever.
        const bool take = state == UNBOUND || rebindEachTime;
        if (!b.contested[s])
          warnAbout(client, b.path,
                    take ? "already names a live component of another process; this one takes the name"
                         : "now names a live component of another process; leaving the name to it");
        b.contested[s] = true;
        if (!take)
          {
            state = YIELDED;
            return true;
          }
      }
    else if (found == NamingClient::NOT_FOUND && state != UNBOUND)
      warnAbout(client, b.path, "was gone (the naming service restarted?); bound again");
    if (!client.bind(b.path, b.obj))
      return false;
    state = BOUND;
    return true;
  }

  void Manager::Impl::syncNames(bool all)
  {
    std::lock_guard<std::mutex> naming(namingMutex);
    std::vector<Binding> todo;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (exiting)
        return;
      todo = bindings;
    }
    for (std::size_t s = 0; s < servers.size(); ++s)
      {
        NamingClient client(orb, servers[s]);
        bool reachable = true;
        for (Binding& b : todo)
          if (reachable && (all || b.state[s] == UNBOUND))
            reachable = placeName(client, b, s);
        if (!reachable && !warned[s])
          {
            warned[s] = true;
            char interval[32];
            std::snprintf(interval, sizeof interval, "%g", retryInterval);
            warn("naming service " + client.address() +
                 " cannot be reached; components are bound there when it appears"
                 " (retrying every " + interval + " s)");
          }
        else if (reachable)
          warned[s] = false;
      }
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const Binding& t : todo)
        for (Binding& b : bindings)
          if (b.rtc == t.rtc && b.path == t.path)
            {
              b.state = t.state;
              b.contested = t.contested;
            }
    }
    ensureRetryThread();
  }

  void Manager::Impl::releaseNames(const std::vector<Binding>& names, Clock::time_point deadline)
  {
    // Only what still names our own object: the name may have been taken
    // by another process since. A naming service that does not answer
    // must not hold up the end of the program.
    for (const Binding& b : names)
      for (std::size_t s = 0; s < servers.size(); ++s)
        {
          if (b.state[s] != BOUND)
            continue;
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
          if (left < 20)
            return;
          NamingClient client(orb, servers[s], static_cast<unsigned>(std::min<long long>(1000, left / 2)));
          CORBA::Object_var current;
          if (client.lookup(b.path, current) == NamingClient::FOUND && current->_is_equivalent(b.obj))
            client.unbind(b.path);
        }
  }

  void Manager::Impl::ensureRetryThread()
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (retryStarted || exiting)
      return;
    retryStarted = true;
    // Every interval: bind what is missing, and see that every name still
    // names our object (a naming service that restarted has lost them).
    std::thread([this]() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;)
          {
            retryWake.wait_for(lock, std::chrono::duration<double>(retryInterval));
            if (exiting)
              return;
            lock.unlock();
            syncNames(verifyEachTime || rebindEachTime);
            lock.lock();
          }
      }).detach();  // it ends when the process does; the manager is never destroyed
  }

  bool Manager::bindPending()
  {
    m_impl->syncNames(false);
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    for (const Impl::Binding& b : m_impl->bindings)
      for (Impl::NameState state : b.state)
        if (state == Impl::UNBOUND)
          return false;
    return true;
  }

  void Manager::unbindAll()
  {
    Impl& d = *m_impl;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.exiting = true;
    }
    d.retryWake.notify_all();
    // Let a bind under way finish, so that nothing is bound after this;
    // but the program ends within its budget whatever a naming service
    // does: half a second to wait, a second for the names.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(1500);
    std::unique_lock<std::mutex> naming(d.namingMutex, std::try_to_lock);
    for (int i = 0; i < 50 && !naming.owns_lock(); ++i)
      {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        naming.try_lock();
      }
    std::vector<Impl::Binding> bound;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      bound.swap(d.bindings);
    }
    d.releaseNames(bound, deadline);
  }

RTM_NAMESPACE_END
