// RTC::PeriodicExecutionContext: the execution context a component owns.
//
// One thread per context. Each period it (1) applies pending state
// transitions and runs their callbacks, (2) calls on_execute of every
// ACTIVE member and on_error of every member in ERROR, (3) calls
// on_state_update of the ACTIVE ones, then sleeps until the next period's
// absolute deadline, so lateness never accumulates. A transition request
// (activate, deactivate, reset) wakes the thread at once; the request
// answers after its callback has run, or RTC_ERROR after the transition
// timeout (0.5 s) if the callback is still running. Callbacks run without
// any lock held.
//
// Every operation may be called by any number of clients at once: start()
// and stop() are serialised (a second one answers PRECONDITION_NOT_MET),
// and a stop() from one of the context's own callbacks lets its thread end
// after that callback. Members of other processes are called on threads
// of their own and waited for one period at most (between 50 ms and 1 s):
// one that does not answer in time is in ERROR, and holds up nobody.
#ifndef RTM_PERIODICEXECUTIONCONTEXT_H
#define RTM_PERIODICEXECUTIONCONTEXT_H

#include <rtm/config_rtc.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <rtm/RTC.h>

RTM_NAMESPACE_BEGIN(RTC)
  class RTObject_impl;
  class RemoteParticipant;

  class PeriodicExecutionContext
    : public virtual POA_RTC::ExecutionContextService,
      public virtual PortableServer::RefCountServantBase
  {
  public:
    PeriodicExecutionContext(double rate, double transition_timeout);
    virtual ~PeriodicExecutionContext();

    // Every request is looked at before its arguments are read.
    virtual CORBA::Boolean _dispatch(omniCallHandle& handle);

    // --- RTC::ExecutionContext ---
    virtual CORBA::Boolean is_running();
    virtual ReturnCode_t start();
    virtual ReturnCode_t stop();
    virtual CORBA::Double get_rate();
    virtual ReturnCode_t set_rate(CORBA::Double rate);
    virtual ReturnCode_t add_component(LightweightRTObject_ptr comp);
    virtual ReturnCode_t remove_component(LightweightRTObject_ptr comp);
    virtual ReturnCode_t activate_component(LightweightRTObject_ptr comp);
    virtual ReturnCode_t deactivate_component(LightweightRTObject_ptr comp);
    virtual ReturnCode_t reset_component(LightweightRTObject_ptr comp);
    virtual LifeCycleState get_component_state(LightweightRTObject_ptr comp);
    virtual ExecutionKind get_kind();
    // --- RTC::ExecutionContextService ---
    virtual ExecutionContextProfile* get_profile();

    // Rates served, in Hz: a period must fit the clock.
    static bool validRate(double rate);
    static constexpr double MIN_RATE = 1e-6;
    static constexpr double MAX_RATE = 1e6;
    enum { MAX_MEMBERS = 64 };

    // Activates the servant; the owner becomes member with handle 0.
    void bindOwner(RTObject_impl* owner, PortableServer::POA_ptr poa);
    ExecutionContextService_ptr getObjRef() const;
    LifeCycleState ownerState();
    // Stops the thread and deactivates the servant.
    void shutdown();

    enum Callback { STARTUP, SHUTDOWN, ACTIVATED, DEACTIVATED, ABORTING,
                    ERROR_CB, RESET, EXECUTE, STATE_UPDATE, RATE_CHANGED };
    enum Pending { NONE, ACTIVATE, DEACTIVATE, RESET_REQ };

    struct Member
    {
      LightweightRTObject_var ref;
      RTObject_var rtc;                           // ref as an RTObject, or nil
      std::shared_ptr<RemoteParticipant> remote;  // members of other processes
      RTObject_impl* local;                       // the owner, called directly
      ExecutionContextHandle_t handle;
      LifeCycleState state;
      Pending pending;
      bool busy;
    };
    typedef std::shared_ptr<Member> MemberPtr;

  private:
    void run();
    void runTransitions(std::unique_lock<std::mutex>& lock);
    void applyTransition(Member& m, Pending request);
    // Runs a transition's callbacks with the lock released, marking the
    // member busy meanwhile and waking the requesters afterwards.
    void applyUnlocked(std::unique_lock<std::mutex>& lock, Member& m, Pending request);
    void executeCycle();
    void toError(Member& m);
    ReturnCode_t invoke(Member& m, Callback cb);
    void invokeAll(Callback cb);
    // How long a call into a member of another process may take.
    std::chrono::steady_clock::duration remoteBudget();
    bool onOwnThread() const;
    MemberPtr findMember(LightweightRTObject_ptr comp);
    ReturnCode_t requestTransition(LightweightRTObject_ptr comp, Pending request,
                                   LifeCycleState from, LifeCycleState to);
    std::chrono::nanoseconds period() const;

    std::mutex m_control;  // start(), stop() and shutdown(), one at a time
    std::mutex m_mutex;
    std::condition_variable m_wake;     // the thread waits here
    std::condition_variable m_done;     // transition requesters wait here
    std::vector<MemberPtr> m_members;
    double m_rate;
    double m_transitionTimeout;
    bool m_running;
    bool m_stopRequested;
    bool m_transitionRequested;
    bool m_rescheduled;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId;  // the thread running run(), if any
    RTObject_impl* m_owner;
    PortableServer::POA_var m_poa;
    ExecutionContextService_var m_objref;
  };
RTM_NAMESPACE_END

#endif
