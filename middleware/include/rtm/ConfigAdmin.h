// RTC::ConfigAdmin: a component's configuration sets and the variables
// bound to its parameters.
//
// Sets come from the component's properties (conf.<set>.<name>, and
// configuration.active_config for the set active at start); tools change
// them remotely through SDOPackage::Configuration, which only stores
// strings. The bound variables are written by update(), which the
// component's life cycle calls on the execution context's thread: after
// onInitialize, before onActivated, and after onStateUpdate (or onError)
// when a set was activated since the last update. So onExecute never sees
// a variable change under it.
#ifndef RTM_CONFIGADMIN_H
#define RTM_CONFIGADMIN_H

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>
#include <coil/stringutil.h>

namespace RTC
{
  class ConfigAdmin
  {
  public:
    struct Set
    {
      std::string id;
      std::string description;
      std::vector<std::pair<std::string, std::string> > values;  // name, value
      bool removable;  // added by add_configuration_set during this run
    };

    ConfigAdmin();

    // Binds var to the parameter name: def_val converted into var now,
    // then the active set's value. A value that trans cannot convert gives
    // var the default instead (with one line on standard error). False for
    // a null name or default, a name already bound, or a default trans
    // rejects (then nothing is bound).
    template <typename VarType>
    bool bindParameter(const char* name, VarType& var, const char* def_val,
                       bool (*trans)(VarType&, const char*) = coil::stringTo)
    {
      if (name == 0 || def_val == 0 || isBound(name))
        return false;
      if (!trans(var, def_val))
        return false;
      const std::string def(def_val);
      addBinding(name, def, [&var, trans, def](const char* value) {
        if (trans(var, value))
          return true;
        trans(var, def.c_str());
        return false;
      });
      return true;
    }

    // Applies the active set's values to the bound variables when a set
    // was activated since the last update (force: in any case).
    void update(bool force = false);
    // Applies set set_id now, whatever is active.
    void update(const char* set_id);
    bool isChanged() const;
    const char* getActiveId() const;

    // --- Used by the runtime ---
    // The sets of the component's properties; label names the component
    // in messages.
    void load(const coil::Properties& props, const std::string& label);
    std::vector<Set> sets() const;
    bool getSet(const std::string& id, Set& out) const;
    // The active set, or false while it is not available (a set was
    // changed, added or removed since the last activation).
    bool getActiveSet(Set& out);
    // Merges values into set id (created if needed); applies nothing.
    // Like addSet, false when the sets would pass kMaxSets or kMaxBytes:
    // a peer cannot make the configuration grow until no tool can read it.
    bool setSetValues(const Set& set);
    bool addSet(const Set& set);
    static const std::size_t kMaxSets = 64;
    static const std::size_t kMaxBytes = 256 * 1024;  // ids, names and values
    bool removeSet(const std::string& id);
    // False for an unknown id or one that begins with '_'.
    bool activateSet(const std::string& id);

  private:
    struct Binding
    {
      std::string name;
      std::string def;
      std::function<bool(const char*)> apply;
      std::string last;  // the string last applied
      bool applied;
    };
    bool isBound(const char* name) const;
    void addBinding(const char* name, const std::string& def, const std::function<bool(const char*)>& apply);
    void applyValues(const std::vector<std::pair<std::string, std::string> >& values);
    std::size_t bytes() const;
    bool refuse(const char* what);
    Set* find(const std::string& id);
    const Set* find(const std::string& id) const;

    mutable std::mutex m_mutex;
    std::vector<Set> m_sets;
    std::string m_active;
    mutable std::string m_activeCopy;  // what getActiveId() hands out
    bool m_activeAvailable;
    bool m_changed;
    std::string m_label;
    std::vector<Binding> m_bindings;
    long m_lastRefusalSaid;  // steady seconds; one line a minute
  };
}

#endif
