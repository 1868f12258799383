#include <rtm/config_rtc.h>
#include "RemoteParticipant.h"

#include <condition_variable>
#include <mutex>
#include <thread>

RTM_NAMESPACE_BEGIN(RTC)
  // What the caller and the participant's thread share. The thread keeps
  // it alive: a call that hangs may outlast the execution context.
  struct RemoteParticipant::Shared
  {
    LightweightRTObject_var ref;
    DataFlowComponentAction_var dfc;
    ExecutionContextHandle_t handle;
    std::mutex mutex;
    std::condition_variable wake;      // a job, or the end
    std::condition_variable answered;  // the job's answer
    bool hasJob = false;
    bool quit = false;
    PeriodicExecutionContext::Callback job = PeriodicExecutionContext::EXECUTE;
    unsigned long posted = 0;  // jobs handed over so far
    unsigned long done = 0;    // jobs answered so far
    ReturnCode_t result = RTC_OK;
  };

  namespace
  {
    typedef PeriodicExecutionContext EC;

    ReturnCode_t callPeer(RemoteParticipant::Shared& s, EC::Callback cb)
    {
      const ExecutionContextHandle_t h = s.handle;
      const bool dfc = !CORBA::is_nil(s.dfc);
      try
        {
          switch (cb)
            {
            case EC::STARTUP: return s.ref->on_startup(h);
            case EC::SHUTDOWN: return s.ref->on_shutdown(h);
            case EC::ACTIVATED: return s.ref->on_activated(h);
            case EC::DEACTIVATED: return s.ref->on_deactivated(h);
            case EC::ABORTING: return s.ref->on_aborting(h);
            case EC::ERROR_CB: return s.ref->on_error(h);
            case EC::RESET: return s.ref->on_reset(h);
            case EC::EXECUTE: return dfc ? s.dfc->on_execute(h) : RTC_OK;
            case EC::STATE_UPDATE: return dfc ? s.dfc->on_state_update(h) : RTC_OK;
            case EC::RATE_CHANGED: return dfc ? s.dfc->on_rate_changed(h) : RTC_OK;
            }
        }
      catch (...)
        {
          // A peer that raises (or whose process is gone) failed the call.
        }
      return RTC_ERROR;
    }

    void serve(std::shared_ptr<RemoteParticipant::Shared> s)
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      for (;;)
        {
          s->wake.wait(lock, [&] { return s->hasJob || s->quit; });
          if (!s->hasJob)
            return;
          const EC::Callback cb = s->job;
          lock.unlock();
          const ReturnCode_t rc = callPeer(*s, cb);
          lock.lock();
          s->hasJob = false;
          s->result = rc;
          ++s->done;
          s->answered.notify_all();
        }
    }
  }

  RemoteParticipant::RemoteParticipant(LightweightRTObject_ptr ref, DataFlowComponentAction_ptr dfc,
                                       ExecutionContextHandle_t handle)
    : m_shared(std::make_shared<Shared>())
  {
    m_shared->ref = LightweightRTObject::_duplicate(ref);
    m_shared->dfc = DataFlowComponentAction::_duplicate(dfc);
    m_shared->handle = handle;
    std::thread(serve, m_shared).detach();
  }

  RemoteParticipant::~RemoteParticipant()
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->quit = true;
    m_shared->wake.notify_all();
  }

  ReturnCode_t RemoteParticipant::call(PeriodicExecutionContext::Callback cb,
                                       std::chrono::steady_clock::time_point deadline)
  {
    Shared& s = *m_shared;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.hasJob)
      return RTC_ERROR;  // still in a call that did not answer
    s.job = cb;
    s.hasJob = true;
    const unsigned long ticket = ++s.posted;
    s.wake.notify_all();
    if (!s.answered.wait_until(lock, deadline, [&] { return s.done >= ticket; }))
      return RTC_ERROR;
    return s.result;
  }

  bool RemoteParticipant::hanging() const
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->hasJob;
  }
RTM_NAMESPACE_END
