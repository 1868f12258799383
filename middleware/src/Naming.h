// A client of one CORBA naming service, found as
// corbaloc::host[:port]/NameService. Paths are written "a.kind/b.kind":
// each segment's id is the text before its last '.', the kind the text
// after it. Every call made through it is bounded by a time-out.
#ifndef RTM_SRC_NAMING_H
#define RTM_SRC_NAMING_H

#include <rtm/config_rtc.h>
#include <string>
#include <vector>

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

RTM_NAMESPACE_BEGIN(RTC)
  class NamingClient
  {
  public:
    // server: "host[:port]" (port 2809 when absent).
    NamingClient(CORBA::ORB_ptr orb, const std::string& server, unsigned timeout_ms = 3000);

    const std::string& address() const { return m_address; }
    // Binds obj under path, making the contexts on the way; replaces an
    // existing binding. False when the service cannot be reached.
    bool bind(const std::string& path, CORBA::Object_ptr obj);
    bool unbind(const std::string& path);
    CORBA::Object_ptr resolve(const std::string& path);

    enum Lookup { FOUND, NOT_FOUND, UNREACHABLE };
    // What path names now: FOUND (with the object in out), NOT_FOUND (no
    // such binding, or a context on the way is missing), or UNREACHABLE.
    Lookup lookup(const std::string& path, CORBA::Object_var& out);
    // False when obj's process is gone (or obj no longer exists there);
    // true when it answers, or cannot be told within the time-out.
    bool alive(CORBA::Object_ptr obj) const;
    // Every leaf object below the root whose id is id and kind is kind,
    // with its path; searches the whole tree.
    std::vector<std::pair<std::string, CORBA::Object_var> >
    find(const std::string& id, const std::string& kind);

    static CosNaming::Name toName(const std::string& path);
    static std::string toString(const CosNaming::Name& name);

  private:
    // Runs a naming call again when it fails on a connection the server
    // closed: a naming service that restarted leaves such connections in
    // the ORB's cache, each failing once although the new server is up.
    // Naming calls are idempotent, so trying again is safe.
    template <class Call>
    static void again(Call call)
    {
      for (int attempt = 0;; ++attempt)
        try
          {
            call();
            return;
          }
        catch (const CORBA::COMM_FAILURE&)
          {
            if (attempt == 4)
              throw;
          }
    }
    CosNaming::NamingContext_ptr root();
    void bounded(CORBA::Object_ptr obj) const;
    void walk(CosNaming::NamingContext_ptr ctx, const std::string& prefix, const std::string& id,
              const std::string& kind, int depth,
              std::vector<std::pair<std::string, CORBA::Object_var> >& out);

    CORBA::ORB_var m_orb;
    std::string m_address;
    unsigned m_timeout;
  };
RTM_NAMESPACE_END

#endif
