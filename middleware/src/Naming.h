// A client of one CORBA naming service, found as
// corbaloc::host[:port]/NameService. Paths are written "a.kind/b.kind":
// each segment's id is the text before its last '.', the kind the text
// after it. Every call made through it is bounded by a time-out.
#ifndef RTM_SRC_NAMING_H
#define RTM_SRC_NAMING_H

#include <string>
#include <vector>

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

namespace RTC
{
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
    // Every leaf object below the root whose id is id and kind is kind,
    // with its path; searches the whole tree.
    std::vector<std::pair<std::string, CORBA::Object_var> >
    find(const std::string& id, const std::string& kind);

    static CosNaming::Name toName(const std::string& path);
    static std::string toString(const CosNaming::Name& name);

  private:
    CosNaming::NamingContext_ptr root();
    void bounded(CORBA::Object_ptr obj) const;
    void walk(CosNaming::NamingContext_ptr ctx, const std::string& prefix, const std::string& id,
              const std::string& kind, int depth,
              std::vector<std::pair<std::string, CORBA::Object_var> >& out);

    CORBA::ORB_var m_orb;
    std::string m_address;
    unsigned m_timeout;
  };
}

#endif
