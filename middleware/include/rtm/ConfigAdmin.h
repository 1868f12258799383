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
//
// Every operation holds the lock only to copy or swap what it built
// outside it, so that a tool's large call never keeps the execution
// context waiting.
#ifndef RTM_CONFIGADMIN_H
#define RTM_CONFIGADMIN_H

#include <rtm/config_rtc.h>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>
#include <coil/stringutil.h>
#include <rtm/ConfigurationListener.h>

RTM_NAMESPACE_BEGIN(RTC)
  class ConfigAdmin
  {
  public:
    struct Set
    {
      std::string id;
      std::string description;
      std::vector<std::pair<std::string, std::string> > values;  // name, value
      bool removable;  // unused; every set but "default" may be removed
    };

    ConfigAdmin();
    ~ConfigAdmin();
    ConfigAdmin(const ConfigAdmin&) = delete;
    ConfigAdmin& operator=(const ConfigAdmin&) = delete;

    // Binds var to the parameter name: def_val converted into var now,
    // then the active set's value. A value that trans cannot convert
    // leaves var as it was (with one line on standard error). False for a
    // null name or default, a name already bound, or a default trans
    // rejects (then nothing is bound).
    template <typename VarType>
    bool bindParameter(const char* name, VarType& var, const char* def_val,
                       bool (*trans)(VarType&, const char*) = coil::stringTo)
    {
      if (name == 0 || def_val == 0 || isBound(name))
        return false;
      VarType initial = var;
      if (!trans(initial, def_val))
        return false;
      var = initial;
      addBinding(name, def_val, [&var, trans](const char* value) {
        // Converted aside: a conversion that fails half-way must not
        // leave its remains in the variable.
        VarType converted = var;
        if (!trans(converted, value))
          return false;
        var = converted;
        return true;
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

    // Listeners (see rtm/ConfigurationListener.h); with autoclean the
    // configuration deletes them when they are removed or it goes.
    void addConfigurationParamListener(ConfigurationParamListenerType type,
                                       ConfigurationParamListener* listener, bool autoclean = true);
    void removeConfigurationParamListener(ConfigurationParamListenerType type,
                                          ConfigurationParamListener* listener);
    void addConfigurationSetListener(ConfigurationSetListenerType type, ConfigurationSetListener* listener,
                                     bool autoclean = true);
    void removeConfigurationSetListener(ConfigurationSetListenerType type, ConfigurationSetListener* listener);
    void addConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                         ConfigurationSetNameListener* listener, bool autoclean = true);
    void removeConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                            ConfigurationSetNameListener* listener);

    // --- Used by the runtime ---
    // The sets of the component's properties; label names the component
    // in messages.
    void load(const coil::Properties& props, const std::string& label);
    std::vector<Set> sets() const;
    bool getSet(const std::string& id, Set& out) const;
    // The active set as now stored.
    bool getActiveSet(Set& out);
    // Merges values into set id (created if needed); applies nothing.
    // Like addSet, false when the sets would pass kMaxSets or grow past
    // kMaxBytes: a peer cannot make the configuration grow until no tool
    // can read it. A change that does not make the whole larger is always
    // taken, so that a full budget never locks a user out.
    bool setSetValues(const Set& set);
    bool addSet(const Set& set);
    static const std::size_t kMaxSets = 64;
    // Ids, names and values, and kEntryBytes for each value: about what
    // the sets take on the wire.
    static const std::size_t kMaxBytes = 256 * 1024;
    static const std::size_t kEntryBytes = 24;
    // False for "default", the active set and unknown ids.
    bool removeSet(const std::string& id);
    // False for an unknown id or one that begins with '_'.
    bool activateSet(const std::string& id);

    struct Listeners;

  private:
    struct Binding
    {
      std::string name;
      std::string def;
      std::function<bool(const char*)> apply;
      std::string last;  // the string last applied
      std::string held;  // the last string the variable took
      bool applied;
    };
    struct Change;
    bool isBound(const char* name) const;
    void addBinding(const char* name, const std::string& def, const std::function<bool(const char*)>& apply);
    void applyValues(const std::vector<std::pair<std::string, std::string> >& values, Change& change);
    void announce(const Change& change);
    bool refuse(const char* what);
    Set* find(const std::string& id);
    const Set* find(const std::string& id) const;

    mutable std::mutex m_mutex;
    std::vector<Set> m_sets;
    std::size_t m_bytes;        // what the sets count against kMaxBytes
    unsigned long m_revision;   // bumped by every change of m_sets
    std::string m_active;
    bool m_changed;
    std::string m_label;
    std::vector<Binding> m_bindings;
    std::unique_ptr<Listeners> m_listeners;
  };
RTM_NAMESPACE_END

#endif
