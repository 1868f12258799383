// The periodic execution context: state machine, callback order and the
// absolute-deadline loop.
#include <rtm/config_rtc.h>
#include <rtm/PeriodicExecutionContext.h>

#include <algorithm>
#include <sstream>

#include <rtm/RTObject.h>

#include "ConnectionGuard.h"
#include "NVUtil.h"
#include "RemoteParticipant.h"

RTM_NAMESPACE_BEGIN(RTC)
  typedef std::chrono::steady_clock Clock;

  bool PeriodicExecutionContext::validRate(double rate)
  {
    // Its period must fit the clock, and an infinite rate would spin.
    return rate >= MIN_RATE && rate <= MAX_RATE;
  }

  PeriodicExecutionContext::PeriodicExecutionContext(double rate, double transition_timeout)
    : m_rate(validRate(rate) ? rate : 1.0), m_transitionTimeout(transition_timeout),
      m_running(false), m_stopRequested(false), m_transitionRequested(false),
      m_rescheduled(false), m_threadId(std::thread::id()), m_owner(nullptr)
  {
  }

  PeriodicExecutionContext::~PeriodicExecutionContext()
  {
    shutdown();
    // The last reference may go from one of our own callbacks (a
    // component that ends itself): its thread then ends by itself.
    if (m_thread.joinable())
      {
        if (m_thread.get_id() == std::this_thread::get_id())
          m_thread.detach();
        else
          m_thread.join();
      }
  }

  bool PeriodicExecutionContext::onOwnThread() const
  {
    return m_threadId.load() == std::this_thread::get_id();
  }

  std::chrono::steady_clock::duration PeriodicExecutionContext::remoteBudget()
  {
    // One period, so that a member that cannot keep up does not slow the
    // others; bounded both ways so that a slow rate does not let a peer
    // stall the context for long, nor a fast one fail every peer.
    double seconds;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      seconds = 1.0 / m_rate;
    }
    seconds = std::min(1.0, std::max(0.05, seconds));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  std::chrono::nanoseconds PeriodicExecutionContext::period() const
  {
    return std::chrono::nanoseconds(static_cast<long long>(1e9 / m_rate));
  }

  void PeriodicExecutionContext::bindOwner(RTObject_impl* owner, PortableServer::POA_ptr poa)
  {
    m_poa = PortableServer::POA::_duplicate(poa);
    PortableServer::ObjectId_var oid = m_poa->activate_object(this);
    CORBA::Object_var obj = m_poa->id_to_reference(oid);
    m_objref = ::RTC::ExecutionContextService::_narrow(obj);

    MemberPtr m = std::make_shared<Member>();
    m->ref = owner->getObjRef();
    m->local = owner;
    m->handle = 0;
    m->state = INACTIVE_STATE;
    m->pending = NONE;
    m->busy = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owner = owner;
    m_members.push_back(m);
  }

  ExecutionContextService_ptr PeriodicExecutionContext::getObjRef() const
  {
    return ::RTC::ExecutionContextService::_duplicate(m_objref.in());
  }

  LifeCycleState PeriodicExecutionContext::ownerState()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const MemberPtr& m : m_members)
      if (m->local != nullptr)
        return m->state;
    return CREATED_STATE;
  }

  void PeriodicExecutionContext::shutdown()
  {
    stop();
    std::lock_guard<std::mutex> control(m_control);
    if (!CORBA::is_nil(m_objref) && !CORBA::is_nil(m_poa))
      {
        try
          {
            PortableServer::ObjectId_var oid = m_poa->servant_to_id(this);
            m_poa->deactivate_object(oid);
          }
        catch (const CORBA::Exception&)
          {
          }
        m_objref = ::RTC::ExecutionContextService::_nil();
      }
  }

  // ---------------------------------------------------------------- calls

  ReturnCode_t PeriodicExecutionContext::invoke(Member& m, Callback cb)
  {
    ExecutionContextHandle_t h = m.handle;
    try
      {
        if (m.local != nullptr)
          {
            RTObject_impl& c = *m.local;
            switch (cb)
              {
              case STARTUP: return c.on_startup(h);
              case SHUTDOWN: return c.on_shutdown(h);
              case ACTIVATED: return c.on_activated(h);
              case DEACTIVATED: return c.on_deactivated(h);
              case ABORTING: return c.on_aborting(h);
              case ERROR_CB: return c.on_error(h);
              case RESET: return c.on_reset(h);
              case EXECUTE: return c.on_execute(h);
              case STATE_UPDATE: return c.on_state_update(h);
              case RATE_CHANGED: return c.on_rate_changed(h);
              }
          }
        if (m.remote)
          return m.remote->call(cb, Clock::now() + remoteBudget());
      }
    catch (...)
      {
      }
    return RTC_ERROR;
  }

  void PeriodicExecutionContext::invokeAll(Callback cb)
  {
    std::vector<MemberPtr> members;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      members = m_members;
    }
    for (const MemberPtr& m : members)
      invoke(*m, cb);
  }

  PeriodicExecutionContext::MemberPtr
  PeriodicExecutionContext::findMember(LightweightRTObject_ptr comp)
  {
    if (CORBA::is_nil(comp))
      return MemberPtr();
    std::vector<MemberPtr> members;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      members = m_members;
    }
    for (const MemberPtr& m : members)
      {
        try
          {
            if (comp->_is_equivalent(m->ref))
              return m;
          }
        catch (const CORBA::Exception&)
          {
          }
      }
    return MemberPtr();
  }

  // ----------------------------------------------------------- the thread

  void PeriodicExecutionContext::toError(Member& m)
  {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m.state = ERROR_STATE;
    }
    invoke(m, DEACTIVATED);
    invoke(m, ABORTING);
  }

  void PeriodicExecutionContext::applyTransition(Member& m, Pending request)
  {
    LifeCycleState next = m.state;
    switch (request)
      {
      case ACTIVATE:
        next = invoke(m, ACTIVATED) == RTC_OK ? ACTIVE_STATE : ERROR_STATE;
        if (next == ERROR_STATE)
          invoke(m, ABORTING);
        break;
      case DEACTIVATE:
        invoke(m, DEACTIVATED);
        next = INACTIVE_STATE;
        break;
      case RESET_REQ:
        next = invoke(m, RESET) == RTC_OK ? INACTIVE_STATE : ERROR_STATE;
        break;
      case NONE:
        break;
      }
    std::lock_guard<std::mutex> lock(m_mutex);
    m.state = next;
  }

  // Called with the lock held; releases it around every callback.
  void PeriodicExecutionContext::runTransitions(std::unique_lock<std::mutex>& lock)
  {
    m_transitionRequested = false;
    std::vector<MemberPtr> members = m_members;
    for (const MemberPtr& m : members)
      {
        if (m->pending == NONE)
          continue;
        Pending request = m->pending;
        m->pending = NONE;
        applyUnlocked(lock, *m, request);
      }
  }

  void PeriodicExecutionContext::applyUnlocked(std::unique_lock<std::mutex>& lock, Member& m,
                                               Pending request)
  {
    m.busy = true;
    lock.unlock();
    applyTransition(m, request);
    lock.lock();
    m.busy = false;
    m_done.notify_all();
  }

  void PeriodicExecutionContext::executeCycle()
  {
    std::vector<MemberPtr> members;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      members = m_members;
    }
    for (const MemberPtr& m : members)
      {
        LifeCycleState state;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          state = m->state;
        }
        if (state == ACTIVE_STATE)
          {
            if (invoke(*m, EXECUTE) != RTC_OK || invoke(*m, STATE_UPDATE) != RTC_OK)
              toError(*m);
          }
        else if (state == ERROR_STATE)
          invoke(*m, ERROR_CB);
      }
  }

  void PeriodicExecutionContext::run()
  {
    m_threadId = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    Clock::time_point next = Clock::now();
    while (!m_stopRequested)
      {
        if (m_transitionRequested)
          runTransitions(lock);
        if (m_stopRequested)
          break;
        Clock::time_point now = Clock::now();
        if (now >= next)
          {
            lock.unlock();
            executeCycle();
            lock.lock();
            std::chrono::nanoseconds p = period();
            next += p;
            // Far behind (a stall): start afresh instead of bursting.
            if (next + p < Clock::now())
              next = Clock::now() + p;
            continue;
          }
        m_wake.wait_until(lock, next, [this] {
            return m_stopRequested || m_transitionRequested || m_rescheduled;
          });
        if (m_rescheduled)
          {
            m_rescheduled = false;
            next = Clock::now() + period();
          }
      }
    m_threadId = std::thread::id();
    lock.unlock();
    _remove_ref();  // may be the last: nothing here after it
  }

  CORBA::Boolean PeriodicExecutionContext::_dispatch(omniCallHandle& handle)
  {
    ConnectionGuard::admitRequest(handle, ConnectionGuard::messageLimit());
    return POA_RTC::ExecutionContextService::_dispatch(handle);
  }

  // ------------------------------------------------------------ operations

  CORBA::Boolean PeriodicExecutionContext::is_running()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
  }

  ReturnCode_t PeriodicExecutionContext::start()
  {
    if (onOwnThread())
      {
        // From a callback, after a stop() from a callback: this thread is
        // still the context's and simply carries on.
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (m_running)
            return PRECONDITION_NOT_MET;
          m_running = true;
          m_stopRequested = false;
        }
        invokeAll(STARTUP);
        return RTC_OK;
      }
    std::lock_guard<std::mutex> control(m_control);
    std::thread previous;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_running)
        return PRECONDITION_NOT_MET;
      previous = std::move(m_thread);
    }
    // A thread told to stop from its own callback may still be finishing.
    if (previous.joinable())
      previous.join();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_running = true;
      m_stopRequested = false;
    }
    invokeAll(STARTUP);
    std::lock_guard<std::mutex> lock(m_mutex);
    // The thread holds the servant: a component may end itself (and let
    // its context go) from one of the thread's own callbacks.
    _add_ref();
    m_thread = std::thread(&PeriodicExecutionContext::run, this);
    return RTC_OK;
  }

  ReturnCode_t PeriodicExecutionContext::stop()
  {
    const bool own = onOwnThread();
    std::unique_lock<std::mutex> control(m_control, std::defer_lock);
    if (!own)
      control.lock();
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_running)
        return PRECONDITION_NOT_MET;
      m_running = false;
      m_stopRequested = true;
      // From one of our callbacks the thread cannot wait for itself: it
      // ends when the callback returns, and is joined by the next start().
      if (!own)
        finished = std::move(m_thread);
    }
    m_wake.notify_all();
    if (finished.joinable())
      finished.join();
    invokeAll(SHUTDOWN);
    return RTC_OK;
  }

  CORBA::Double PeriodicExecutionContext::get_rate()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rate;
  }

  ReturnCode_t PeriodicExecutionContext::set_rate(CORBA::Double rate)
  {
    if (!validRate(rate))
      return BAD_PARAMETER;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_rate = rate;
      m_rescheduled = true;
    }
    m_wake.notify_all();
    invokeAll(RATE_CHANGED);
    return RTC_OK;
  }

  ReturnCode_t PeriodicExecutionContext::add_component(LightweightRTObject_ptr comp)
  {
    if (CORBA::is_nil(comp))
      return BAD_PARAMETER;
    if (findMember(comp))
      return PRECONDITION_NOT_MET;
    {
      // Far more than any system adds, and a bound on what one peer can.
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_members.size() >= MAX_MEMBERS)
        return OUT_OF_RESOURCES;
    }
    MemberPtr m = std::make_shared<Member>();
    DataFlowComponentAction_var dfc;
    ReturnCode_t refused = OUT_OF_RESOURCES;
    try
      {
        m->handle = comp->attach_context(m_objref);
        dfc = DataFlowComponentAction::_narrow(comp);
        m->rtc = ::RTC::RTObject::_narrow(comp);
      }
    catch (const CORBA::Exception&)
      {
        return BAD_PARAMETER;
      }
    if (m->handle < 0)
      return BAD_PARAMETER;
    m->ref = LightweightRTObject::_duplicate(comp);
    m->remote = std::make_shared<RemoteParticipant>(comp, dfc, m->handle);
    m->local = nullptr;
    m->state = INACTIVE_STATE;
    m->pending = NONE;
    m->busy = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      // Two clients adding the same component at once: one of them wins.
      bool known = false;
      for (const MemberPtr& other : m_members)
        known = known || comp->_is_equivalent(other->ref);
      if (!known && m_members.size() < MAX_MEMBERS)
        {
          m_members.push_back(m);
          return RTC_OK;
        }
      refused = known ? PRECONDITION_NOT_MET : OUT_OF_RESOURCES;
    }
    try
      {
        comp->detach_context(m->handle);
      }
    catch (const CORBA::Exception&)
      {
      }
    return refused;
  }

  ReturnCode_t PeriodicExecutionContext::remove_component(LightweightRTObject_ptr comp)
  {
    MemberPtr m = findMember(comp);
    if (!m || m->local != nullptr)
      return BAD_PARAMETER;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m->state == ACTIVE_STATE || m->pending != NONE || m->busy)
        return PRECONDITION_NOT_MET;
      for (auto it = m_members.begin(); it != m_members.end(); ++it)
        if (*it == m)
          {
            m_members.erase(it);
            break;
          }
    }
    try
      {
        comp->detach_context(m->handle);
      }
    catch (const CORBA::Exception&)
      {
      }
    return RTC_OK;
  }

  ReturnCode_t PeriodicExecutionContext::requestTransition(LightweightRTObject_ptr comp,
                                                           Pending request,
                                                           LifeCycleState from,
                                                           LifeCycleState to)
  {
    MemberPtr m = findMember(comp);
    if (!m)
      return BAD_PARAMETER;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m->state != from || m->pending != NONE || m->busy)
      return PRECONDITION_NOT_MET;
    if (!m_running || onOwnThread())
      {
        // No thread to hand it to (or asked from a callback): do it here.
        applyUnlocked(lock, *m, request);
      }
    else
      {
        m->pending = request;
        m_transitionRequested = true;
        m_wake.notify_all();
        auto deadline = Clock::now() +
          std::chrono::nanoseconds(static_cast<long long>(m_transitionTimeout * 1e9));
        if (!m_done.wait_until(lock, deadline, [&] { return m->pending == NONE && !m->busy; }))
          return RTC_ERROR;  // still under way; it completes later
      }
    if (m->state == to)
      return RTC_OK;
    return m->state == ERROR_STATE ? PRECONDITION_NOT_MET : RTC_ERROR;
  }

  ReturnCode_t PeriodicExecutionContext::activate_component(LightweightRTObject_ptr comp)
  {
    return requestTransition(comp, ACTIVATE, INACTIVE_STATE, ACTIVE_STATE);
  }

  ReturnCode_t PeriodicExecutionContext::deactivate_component(LightweightRTObject_ptr comp)
  {
    return requestTransition(comp, DEACTIVATE, ACTIVE_STATE, INACTIVE_STATE);
  }

  ReturnCode_t PeriodicExecutionContext::reset_component(LightweightRTObject_ptr comp)
  {
    return requestTransition(comp, RESET_REQ, ERROR_STATE, INACTIVE_STATE);
  }

  LifeCycleState PeriodicExecutionContext::get_component_state(LightweightRTObject_ptr comp)
  {
    MemberPtr m = findMember(comp);
    if (!m)
      return CREATED_STATE;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m->state;
  }

  ExecutionKind PeriodicExecutionContext::get_kind() { return PERIODIC; }

  ExecutionContextProfile* PeriodicExecutionContext::get_profile()
  {
    ExecutionContextProfile_var profile = new ExecutionContextProfile;
    std::vector<MemberPtr> members;
    double rate;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      members = m_members;
      rate = m_rate;
    }
    profile->kind = PERIODIC;
    profile->rate = rate;
    profile->owner = m_owner != nullptr ? m_owner->getObjRef() : ::RTC::RTObject::_nil();
    CORBA::ULong n = 0;
    for (const MemberPtr& m : members)
      {
        if (m->local != nullptr)
          continue;  // the owner is not listed
        // Narrowed when it joined: asking a peer now could hang a listing.
        if (CORBA::is_nil(m->rtc))
          continue;
        profile->participants.length(n + 1);
        profile->participants[n++] = ::RTC::RTObject::_duplicate(m->rtc);
      }
    std::ostringstream text;
    text << rate;
    NVUtil::appendString(profile->properties, "name", "");
    NVUtil::appendString(profile->properties, "rate", text.str());
    NVUtil::appendString(profile->properties, "sync_transition", "YES");
    std::ostringstream timeout;
    timeout << m_transitionTimeout;
    NVUtil::appendString(profile->properties, "transition_timeout", timeout.str());
    NVUtil::appendString(profile->properties, "type", "PeriodicExecutionContext");
    return profile._retn();
  }
RTM_NAMESPACE_END
