// The end of a process: stop signals, runManager's wait and its
// housekeeping (no component left, nothing to do), shutdown, terminate.
#include "ManagerImpl.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    // SIGINT and SIGTERM, when nothing else handles them, end the process
    // after the names have been removed and the output written. A host
    // waiting in runManager() ends normally (status 0); any other program
    // ends by the signal, as it would have. The handler only wakes a thread
    // of ours through a pipe; no signal is blocked, so that the programs
    // this process starts get the usual signal mask. A second signal ends
    // it at once.
    int g_signalPipe[2] = {-1, -1};
    volatile sig_atomic_t g_stopping = 0;

    void onStopSignal(int sig)
    {
      if (g_stopping)
        {
          signal(sig, SIG_DFL);
          raise(sig);
          return;
        }
      g_stopping = 1;
      const int saved = errno;
      const unsigned char byte = static_cast<unsigned char>(sig);
      if (write(g_signalPipe[1], &byte, 1) < 0)
        {
          signal(sig, SIG_DFL);
          raise(sig);
        }
      errno = saved;
    }

    void whenStopped()
    {
      unsigned char byte = 0;
      while (read(g_signalPipe[0], &byte, 1) < 0 && errno == EINTR)
        {
        }
      Manager::Impl* d = currentImpl();
      Manager* m = currentManager();
      bool blocking = false;
      if (d != nullptr)
        {
          std::lock_guard<std::mutex> lock(d->mutex);
          blocking = d->blocking;
        }
      if (m != nullptr && blocking)
        {
          m->shutdown();  // runManager() returns, and main with it
          return;
        }
      if (m != nullptr)
        m->unbindAll();
      std::fflush(stdout);
      std::fflush(stderr);
      signal(byte, SIG_DFL);
      raise(byte);
    }

    double seconds(const std::string& text, double fallback)
    {
      char* end = nullptr;
      const double value = std::strtod(text.c_str(), &end);
      return end != text.c_str() && value >= 0.0 && value <= 86400.0 ? value : fallback;
    }
  }

  void installStopSignals()
  {
    std::vector<int> mine;
    for (int sig : {SIGINT, SIGTERM})
      {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
            !(current.sa_flags & SA_SIGINFO))
          mine.push_back(sig);
      }
    if (mine.empty() || pipe2(g_signalPipe, O_CLOEXEC) != 0)
      return;
    std::thread(whenStopped).detach();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : mine)
      sigaction(sig, &action, nullptr);
  }

  // omniORB serves requests on its own threads once the POA manager is
  // active, so nothing has to sit in ORB::run(). Nothing does: a thread
  // waiting there deadlocks exit(), whose clean-up destroys the condition
  // that ORB::run() waits on. A blocking call waits here instead, and ends
  // the process as a module host does: once the last component is gone
  // (manager.shutdown_on_nortcs), or after manager.auto_shutdown_duration
  // seconds without any (manager.shutdown_auto); a master stays.
  void Manager::runManager(bool no_block)
  {
    Impl& d = *m_impl;
    if (no_block)
      return;
    std::unique_lock<std::mutex> lock(d.mutex);
    d.blocking = true;
    Clock::time_point emptySince = Clock::now(), mastersSeen = Clock::now();
    while (!d.ended)
      {
        d.runWake.wait_for(lock, std::chrono::milliseconds(100));
        if (d.ended || d.shutdownStarted)
          continue;
        const bool master = yesValue(d.setting("manager.is_master"));
        // A slave checks its masters, and looks for one when none is left,
        // every corba.update_master_manager.interval seconds.
        if (!master && d.servant != nullptr && yesValue(d.setting("corba.update_master_manager.enable")) &&
            Clock::now() - mastersSeen >= std::chrono::duration<double>(
                                            seconds(d.setting("corba.update_master_manager.interval"), 10.0)))
          {
            lock.unlock();
            d.servant->refreshMasters();
            lock.lock();
            mastersSeen = Clock::now();
          }
        if (!d.components.empty() || master)
          {
            emptySince = Clock::now();
            continue;
          }
        const double idle = std::chrono::duration<double>(Clock::now() - emptySince).count();
        const bool noneLeft = d.created > 0 && yesValue(d.setting("manager.shutdown_on_nortcs")) && idle >= 1.0;
        const bool nothingToDo = yesValue(d.setting("manager.shutdown_auto")) &&
                                 idle >= seconds(d.setting("manager.auto_shutdown_duration"), 10.0);
        if (noneLeft || nothingToDo)
          {
            lock.unlock();
            shutdown();
            lock.lock();
          }
      }
  }

  void Manager::shutdown()
  {
    Impl& d = *m_impl;
    if (d.shutdownStarted.exchange(true))
      {
        join();
        return;
      }
    if (d.servant != nullptr)
      d.servant->leave();
    // The components end as after exit(); a peer that keeps one of their
    // calls waiting is bounded by the execution context's own limits.
    for (RTObject_impl* rtc : getComponents())
      {
        try
          {
            rtc->exit();
          }
        catch (...)
          {
          }
      }
    unbindAll();
    // The ORB finishes the calls under way; a call that a peer keeps open
    // (an add_component whose attach_context never returns) may not hold
    // the process: after a second it ends at once, its output written.
    struct Stopping
    {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
    };
    auto stopping = std::make_shared<Stopping>();
    CORBA::ORB_var orb = CORBA::ORB::_duplicate(d.orb);
    std::thread([orb, stopping]() {
        try
          {
            orb->shutdown(true);
          }
        catch (const CORBA::Exception&)
          {
          }
        std::lock_guard<std::mutex> lock(stopping->mutex);
        stopping->finished = true;
        stopping->done.notify_all();
      }).detach();
    {
      std::unique_lock<std::mutex> lock(stopping->mutex);
      if (!stopping->done.wait_for(lock, std::chrono::seconds(1), [&] { return stopping->finished; }))
        {
          warn("calls from peers are still under way; ending now");
          std::fflush(nullptr);
          _exit(0);
        }
    }
    d.reap(true);
    std::lock_guard<std::mutex> lock(d.mutex);
    d.ended = true;
    d.runWake.notify_all();
  }

  void Manager::terminate()
  {
    const double wait = seconds(m_impl->setting("manager.termination_waittime"), 0.5);
    std::thread([this, wait]() {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(wait, 10.0)));
        shutdown();
      }).detach();
  }

  void Manager::join()
  {
    std::unique_lock<std::mutex> lock(m_impl->mutex);
    m_impl->runWake.wait(lock, [this] { return m_impl->ended; });
  }
RTM_NAMESPACE_END
