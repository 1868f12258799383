#include <rtm/config_rtc.h>
#include "Naming.h"
#include "Tls.h"

#include <cstring>

#include "ManagerConfig.h"


RTM_NAMESPACE_BEGIN(RTC)
  NamingClient::NamingClient(CORBA::ORB_ptr orb, const std::string& server, unsigned timeout_ms)
    : m_orb(CORBA::ORB::_duplicate(orb)), m_timeout(timeout_ms)
  {
    m_address = Tls::namingAddress(server);
  }

  void NamingClient::bounded(CORBA::Object_ptr obj) const
  {
    if (!CORBA::is_nil(obj))
      omniORB::setClientCallTimeout(obj, m_timeout);
  }

  CosNaming::Name NamingClient::toName(const std::string& path)
  {
    CosNaming::Name name;
    // Names travel as C strings: text after a NUL (a corrupt configuration
    // file) would be lost on the way in any case.
    for (const std::string& segment : split(path.substr(0, path.find('\0')), '/'))
      {
        if (segment.empty())
          continue;
        std::string::size_type dot = segment.rfind('.');
        CORBA::ULong n = name.length();
        name.length(n + 1);
        name[n].id = CORBA::string_dup(segment.substr(0, dot).c_str());
        name[n].kind = CORBA::string_dup(dot == std::string::npos ? "" : segment.substr(dot + 1).c_str());
      }
    return name;
  }

  std::string NamingClient::toString(const CosNaming::Name& name)
  {
    std::string text;
    for (CORBA::ULong i = 0; i < name.length(); ++i)
      {
        if (i > 0)
          text += "/";
        text += name[i].id.in();
        // An empty kind is left out, unless the text would then read back
        // otherwise: an empty id, or an id with a dot of its own.
        const char* id = name[i].id.in();
        if (name[i].kind.in()[0] != '\0' || id[0] == '\0' || std::strchr(id, '.') != nullptr)
          text += std::string(".") + name[i].kind.in();
      }
    return text;
  }

  CosNaming::NamingContext_ptr NamingClient::root()
  {
    CORBA::Object_var obj = m_orb->string_to_object(m_address.c_str());
    bounded(obj);
    CosNaming::NamingContext_var ctx = CosNaming::NamingContext::_narrow(obj);
    if (CORBA::is_nil(ctx))
      throw CORBA::TRANSIENT();
    bounded(ctx);
    return ctx._retn();
  }

  bool NamingClient::bind(const std::string& path, CORBA::Object_ptr obj)
  {
    CosNaming::Name name = toName(path);
    if (name.length() == 0)
      return false;
    try
      {
        again([&] {
            CosNaming::NamingContext_var ctx = root();
            CosNaming::Name segment;
            segment.length(1);
            for (CORBA::ULong i = 0; i + 1 < name.length(); ++i)
              {
                segment[0] = name[i];
                CosNaming::NamingContext_var next;
                try
                  {
                    next = ctx->bind_new_context(segment);
                  }
                catch (const CosNaming::NamingContext::AlreadyBound&)
                  {
                    CORBA::Object_var found = ctx->resolve(segment);
                    next = CosNaming::NamingContext::_narrow(found);
                    if (CORBA::is_nil(next))
                      throw CosNaming::NamingContext::NotFound();
                  }
                bounded(next);
                ctx = next;
              }
            segment[0] = name[name.length() - 1];
            ctx->rebind(segment, obj);
          });
        return true;
      }
    catch (const CORBA::Exception&)
      {
        return false;
      }
  }

  bool NamingClient::unbind(const std::string& path)
  {
    try
      {
        again([&] {
            CosNaming::NamingContext_var ctx = root();
            ctx->unbind(toName(path));
          });
        return true;
      }
    catch (const CORBA::Exception&)
      {
        return false;
      }
  }

  CORBA::Object_ptr NamingClient::resolve(const std::string& path)
  {
    CORBA::Object_var found;
    return lookup(path, found) == FOUND ? found._retn() : CORBA::Object::_nil();
  }

  NamingClient::Lookup NamingClient::lookup(const std::string& path, CORBA::Object_var& out)
  {
    try
      {
        again([&] {
            CosNaming::NamingContext_var ctx = root();
            out = ctx->resolve(toName(path));
          });
        return CORBA::is_nil(out) ? NOT_FOUND : FOUND;
      }
    catch (const CosNaming::NamingContext::NotFound&)
      {
        return NOT_FOUND;
      }
    catch (const CosNaming::NamingContext::CannotProceed&)
      {
        return NOT_FOUND;
      }
    catch (const CosNaming::NamingContext::InvalidName&)
      {
        return NOT_FOUND;
      }
    catch (const CORBA::Exception&)
      {
        return UNREACHABLE;
      }
  }

  bool NamingClient::alive(CORBA::Object_ptr obj) const
  {
    if (CORBA::is_nil(obj))
      return false;
    try
      {
        CORBA::Object_var probe = CORBA::Object::_duplicate(obj);
        omniORB::setClientCallTimeout(probe, 1000);
        return !probe->_non_existent();
      }
    catch (const CORBA::TRANSIENT& e)
      {
        // A time-out is a process that is there but slow.
        return e.minor() == omni::TRANSIENT_CallTimedout;
      }
    catch (const CORBA::OBJECT_NOT_EXIST&)
      {
        return false;
      }
    catch (const CORBA::COMM_FAILURE&)
      {
        return false;
      }
    catch (const CORBA::Exception&)
      {
        return true;
      }
  }

  void NamingClient::walk(CosNaming::NamingContext_ptr ctx, const std::string& prefix,
                          const std::string& id, const std::string& kind, int depth,
                          std::vector<std::pair<std::string, CORBA::Object_var> >& out)
  {
    if (depth > 16)
      return;  // a cycle of contexts: stop somewhere
    CosNaming::BindingList_var list;
    CosNaming::BindingIterator_var it;
    ctx->list(500, list.out(), it.out());
    for (;;)
      {
        for (CORBA::ULong i = 0; i < list->length(); ++i)
          {
            const CosNaming::Binding& b = list[i];
            std::string here = prefix + toString(b.binding_name);
            if (b.binding_type == CosNaming::ncontext)
              {
                CORBA::Object_var sub = ctx->resolve(b.binding_name);
                CosNaming::NamingContext_var subctx = CosNaming::NamingContext::_narrow(sub);
                if (!CORBA::is_nil(subctx))
                  {
                    bounded(subctx);
                    walk(subctx, here + "/", id, kind, depth + 1, out);
                  }
              }
            else if (b.binding_name.length() == 1 && id == b.binding_name[0].id.in() &&
                     kind == b.binding_name[0].kind.in())
              out.emplace_back(here, ctx->resolve(b.binding_name));
          }
        if (CORBA::is_nil(it))
          break;
        bounded(it);
        if (!it->next_n(500, list.out()))
          break;
      }
    if (!CORBA::is_nil(it))
      it->destroy();
  }

  std::vector<std::pair<std::string, CORBA::Object_var> >
  NamingClient::find(const std::string& id, const std::string& kind)
  {
    std::vector<std::pair<std::string, CORBA::Object_var> > out;
    try
      {
        CosNaming::NamingContext_var ctx = root();
        walk(ctx, "", id, kind, 0, out);
      }
    catch (const CORBA::Exception&)
      {
      }
    return out;
  }
RTM_NAMESPACE_END
