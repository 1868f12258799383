// A participant of an execution context that lives in another process.
//
// Its callbacks are CORBA calls, and a peer may never answer one. Each
// remote participant therefore has a thread of its own that makes the
// calls; the context's thread hands it a callback and waits for the answer
// no longer than its budget. A call still under way when the budget is
// spent counts as a failed one (the participant goes to ERROR), and while
// that call hangs the participant takes no other: the context's own
// component keeps its period whatever the peer does.
#ifndef RTM_SRC_REMOTEPARTICIPANT_H
#define RTM_SRC_REMOTEPARTICIPANT_H

#include <rtm/config_rtc.h>
#include <chrono>
#include <memory>

#include <rtm/PeriodicExecutionContext.h>

RTM_NAMESPACE_BEGIN(RTC)
  class RemoteParticipant
  {
  public:
    RemoteParticipant(LightweightRTObject_ptr ref, DataFlowComponentAction_ptr dfc,
                      ExecutionContextHandle_t handle);
    // The thread ends once its current call has returned or timed out.
    ~RemoteParticipant();
    RemoteParticipant(const RemoteParticipant&) = delete;
    RemoteParticipant& operator=(const RemoteParticipant&) = delete;

    // Runs cb on the participant's thread and waits for its answer until
    // deadline. RTC_ERROR when the peer raised, did not answer in time, or
    // is still busy with an earlier call that did not answer.
    ReturnCode_t call(PeriodicExecutionContext::Callback cb,
                      std::chrono::steady_clock::time_point deadline);
    // True while a call that ran out of time has not come back.
    bool hanging() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> m_shared;
  };
RTM_NAMESPACE_END

#endif
