#include <rtm/config_rtc.h>
#include <rtm/ConfigAdmin.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "Report.h"

RTM_NAMESPACE_BEGIN(RTC)
  const std::size_t ConfigAdmin::kMaxSets;
  const std::size_t ConfigAdmin::kMaxBytes;
  const std::size_t ConfigAdmin::kEntryBytes;

  // ------------------------------------------------------------ listeners

  struct ConfigAdmin::Listeners
  {
    template <class L>
    struct Slot
    {
      L* listener;
      bool autoclean;
    };
    // Recursive: a listener may add or remove listeners.
    std::recursive_mutex mutex;
    std::vector<Slot<ConfigurationParamListener> > param[CONFIG_PARAM_LISTENER_NUM];
    std::vector<Slot<ConfigurationSetListener> > set[CONFIG_SET_LISTENER_NUM];
    std::vector<Slot<ConfigurationSetNameListener> > name[CONFIG_SET_NAME_LISTENER_NUM];

    template <class L>
    static void add(std::vector<Slot<L> >& list, L* listener, bool autoclean)
    {
      if (listener != nullptr)
        list.push_back(Slot<L>{listener, autoclean});
    }

    template <class L>
    static void remove(std::vector<Slot<L> >& list, L* listener)
    {
      for (auto it = list.begin(); it != list.end(); ++it)
        if (it->listener == listener)
          {
            if (it->autoclean)
              delete it->listener;
            list.erase(it);
            return;
          }
    }

    template <class L>
    static void clear(std::vector<Slot<L> >& list)
    {
      for (const Slot<L>& s : list)
        if (s.autoclean)
          delete s.listener;
      list.clear();
    }

    ~Listeners()
    {
      for (auto& l : param)
        clear(l);
      for (auto& l : set)
        clear(l);
      for (auto& l : name)
        clear(l);
    }
  };

  // What one operation changed, told to the listeners (and the log) once
  // the configuration's lock is no longer held.
  struct ConfigAdmin::Change
  {
    std::vector<std::pair<std::string, std::string> > params;  // ON_UPDATE_CONFIG_PARAM
    std::vector<std::pair<ConfigurationSetListenerType, coil::Properties> > sets;
    std::vector<std::pair<ConfigurationSetNameListenerType, std::string> > names;
    std::vector<std::pair<std::string, std::string> > refused;  // kind, line
  };

  namespace
  {
    bool hidden(const std::string& id)
    {
      return id.size() >= 4 && id.compare(0, 2, "__") == 0 && id.compare(id.size() - 2, 2, "__") == 0;
    }

    std::size_t bytesOf(const ConfigAdmin::Set& set)
    {
      std::size_t n = set.id.size() + set.description.size();
      for (const auto& v : set.values)
        n += v.first.size() + v.second.size() + ConfigAdmin::kEntryBytes;
      return n;
    }

    // The set a tool gave, as the listeners see it: named by its id.
    coil::Properties asProperties(const ConfigAdmin::Set& set)
    {
      coil::Properties p;
      p.setName(set.id);
      for (const auto& v : set.values)
        p.setProperty(v.first, v.second);
      return p;
    }

    // values merged into base: values of known names replaced in place,
    // new names appended in their order. Linear in both.
    void merge(ConfigAdmin::Set& base, const std::vector<std::pair<std::string, std::string> >& values)
    {
      std::unordered_map<std::string, std::size_t> index;
      index.reserve(base.values.size() + values.size());
      for (std::size_t i = 0; i < base.values.size(); ++i)
        index.emplace(base.values[i].first, i);
      for (const auto& v : values)
        {
          auto it = index.find(v.first);
          if (it != index.end())
            base.values[it->second].second = v.second;
          else
            {
              index.emplace(v.first, base.values.size());
              base.values.push_back(v);
            }
        }
    }
  }

  ConfigAdmin::ConfigAdmin()
    : m_bytes(0), m_revision(0), m_active("default"), m_changed(false), m_listeners(new Listeners)
  {
  }

  ConfigAdmin::~ConfigAdmin() {}

  void ConfigAdmin::addConfigurationParamListener(ConfigurationParamListenerType type,
                                                  ConfigurationParamListener* listener, bool autoclean)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_PARAM_LISTENER_NUM)
      Listeners::add(m_listeners->param[type], listener, autoclean);
  }

  void ConfigAdmin::removeConfigurationParamListener(ConfigurationParamListenerType type,
                                                     ConfigurationParamListener* listener)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_PARAM_LISTENER_NUM)
      Listeners::remove(m_listeners->param[type], listener);
  }

  void ConfigAdmin::addConfigurationSetListener(ConfigurationSetListenerType type,
                                                ConfigurationSetListener* listener, bool autoclean)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_SET_LISTENER_NUM)
      Listeners::add(m_listeners->set[type], listener, autoclean);
  }

  void ConfigAdmin::removeConfigurationSetListener(ConfigurationSetListenerType type,
                                                   ConfigurationSetListener* listener)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_SET_LISTENER_NUM)
      Listeners::remove(m_listeners->set[type], listener);
  }

  void ConfigAdmin::addConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                                    ConfigurationSetNameListener* listener, bool autoclean)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_SET_NAME_LISTENER_NUM)
      Listeners::add(m_listeners->name[type], listener, autoclean);
  }

  void ConfigAdmin::removeConfigurationSetNameListener(ConfigurationSetNameListenerType type,
                                                       ConfigurationSetNameListener* listener)
  {
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    if (type >= 0 && type < CONFIG_SET_NAME_LISTENER_NUM)
      Listeners::remove(m_listeners->name[type], listener);
  }

  void ConfigAdmin::announce(const Change& change)
  {
    for (const auto& r : change.refused)
      Report::sometimes(r.first, r.second);
    std::lock_guard<std::recursive_mutex> lock(m_listeners->mutex);
    for (const auto& p : change.params)
      for (const auto& slot : m_listeners->param[ON_UPDATE_CONFIG_PARAM])
        (*slot.listener)(p.first.c_str(), p.second.c_str());
    for (const auto& s : change.sets)
      for (const auto& slot : m_listeners->set[s.first])
        (*slot.listener)(s.second);
    for (const auto& n : change.names)
      for (const auto& slot : m_listeners->name[n.first])
        (*slot.listener)(n.second.c_str());
  }

  // --------------------------------------------------------------- sets

  // False, said on standard error at most once a minute.
  bool ConfigAdmin::refuse(const char* what)
  {
    Report::sometimes(std::string("configuration refused ") + what,
                      m_label + ": configuration change refused: " + what + " (at most " + std::to_string(kMaxSets) +
                        " sets, " + std::to_string(kMaxBytes) + " bytes); further refusals are said once a minute");
    return false;
  }

  void ConfigAdmin::load(const coil::Properties& props, const std::string& label)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_label = label;
    // conf.<set>.<name>: "default" first, then the other sets, the hidden
    // ones (__widget__, __constraints__) last.
    const coil::Properties conf = props.getNode("conf");
    std::vector<std::string> names = conf.propertyNames();
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      const auto rank = [](const std::string& key) {
        const std::string set = key.substr(0, key.find('.'));
        return set == "default" ? 0 : hidden(set) ? 2 : 1;
      };
      return rank(a) < rank(b);
    });
    for (const std::string& key : names)
      {
        const std::string::size_type dot = key.find('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == key.size())
          continue;
        const std::string id = key.substr(0, dot), name = key.substr(dot + 1);
        Set* set = find(id);
        if (set == nullptr)
          {
            m_sets.push_back(Set{id, "", {}, true});
            set = &m_sets.back();
          }
        if (name == "description")
          set->description = conf.getProperty(key);
        else
          set->values.emplace_back(name, conf.getProperty(key));
      }
    m_bytes = 0;
    for (const Set& s : m_sets)
      m_bytes += bytesOf(s);
    ++m_revision;
    // A component without parameters has no set until its active one is
    // asked for; then an empty "default".
    const std::string start = props.getProperty("configuration.active_config");
    m_active = !start.empty() && find(start) != nullptr && start[0] != '_' ? start : "default";
    m_changed = true;
  }

  std::vector<ConfigAdmin::Set> ConfigAdmin::sets() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sets;
  }

  bool ConfigAdmin::getSet(const std::string& id, Set& out) const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Set* set = find(id);
    if (set == nullptr)
      return false;
    out = *set;
    return true;
  }

  bool ConfigAdmin::getActiveSet(Set& out)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sets.empty())
      {
        m_sets.push_back(Set{"default", "", {}, false});
        m_bytes += bytesOf(m_sets.back());
        ++m_revision;
      }
    const Set* set = find(m_active);
    if (set == nullptr)
      return false;
    out = *set;
    return true;
  }

  bool ConfigAdmin::setSetValues(const Set& values)
  {
    // Merged outside the lock from a copy; stored only if nobody changed
    // the sets meanwhile (else merged again from the newer copy).
    for (;;)
      {
        Set merged;
        bool known;
        unsigned long revision;
        std::size_t total, before = 0;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          const Set* set = find(values.id);
          known = set != nullptr;
          merged = known ? *set : Set{values.id, "", {}, true};
          revision = m_revision;
          total = m_bytes;
        }
        if (known)
          before = bytesOf(merged);
        merge(merged, values.values);
        const std::size_t after = total - before + bytesOf(merged);
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (revision != m_revision)
            continue;
          if (!known && m_sets.size() >= kMaxSets)
            return refuse("too many sets");
          if (after > kMaxBytes && after > total)
            return refuse("too large");
          if (known)
            std::swap(*find(values.id), merged);
          else
            m_sets.push_back(std::move(merged));
          m_bytes = after;
          ++m_revision;
        }
        Change change;
        change.sets.emplace_back(ON_SET_CONFIG_SET, asProperties(values));
        announce(change);
        return true;
      }
  }

  bool ConfigAdmin::addSet(const Set& values)
  {
    if (values.id.empty())
      return false;
    Set added{values.id, "", {}, true};
    merge(added, values.values);
    const std::size_t size = bytesOf(added);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (find(values.id) != nullptr)
        return false;
      if (m_sets.size() >= kMaxSets)
        return refuse("too many sets");
      if (m_bytes + size > kMaxBytes)
        return refuse("too large");
      m_sets.push_back(std::move(added));
      m_bytes += size;
      ++m_revision;
    }
    Change change;
    change.sets.emplace_back(ON_ADD_CONFIG_SET, asProperties(values));
    announce(change);
    return true;
  }

  bool ConfigAdmin::removeSet(const std::string& id)
  {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = std::find_if(m_sets.begin(), m_sets.end(), [&](const Set& s) { return s.id == id; });
      if (it == m_sets.end() || id == "default" || id == m_active)
        return false;
      m_bytes -= bytesOf(*it);
      m_sets.erase(it);
      ++m_revision;
    }
    Change change;
    change.names.emplace_back(ON_REMOVE_CONFIG_SET, id);
    announce(change);
    return true;
  }

  bool ConfigAdmin::activateSet(const std::string& id)
  {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (id.empty() || id[0] == '_' || find(id) == nullptr)
        return false;
      m_active = id;
      m_changed = true;
    }
    Change change;
    change.names.emplace_back(ON_ACTIVATE_CONFIG_SET, id);
    announce(change);
    return true;
  }

  ConfigAdmin::Set* ConfigAdmin::find(const std::string& id)
  {
    for (Set& s : m_sets)
      if (s.id == id)
        return &s;
    return nullptr;
  }

  const ConfigAdmin::Set* ConfigAdmin::find(const std::string& id) const
  {
    for (const Set& s : m_sets)
      if (s.id == id)
        return &s;
    return nullptr;
  }

  // ----------------------------------------------------------- variables

  bool ConfigAdmin::isBound(const char* name) const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Binding& b : m_bindings)
      if (b.name == name)
        return true;
    return false;
  }

  void ConfigAdmin::addBinding(const char* name, const std::string& def, const std::function<bool(const char*)>& apply)
  {
    Change change;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bindings.push_back(Binding{name, def, apply, "", def, false});
      Binding& b = m_bindings.back();
      // The active set's value at once; a set without the key gets it, empty.
      Set* active = find(m_active);
      if (active == nullptr)
        {
          m_sets.insert(m_sets.begin(), Set{m_active, "", {}, false});
          active = &m_sets.front();
          m_bytes += bytesOf(*active);
        }
      const auto it = std::find_if(active->values.begin(), active->values.end(),
                                   [&](const std::pair<std::string, std::string>& v) { return v.first == b.name; });
      if (it == active->values.end())
        {
          active->values.emplace_back(b.name, "");
          m_bytes += b.name.size() + kEntryBytes;
          ++m_revision;
          b.applied = true;
        }
      else
        applyValues({*it}, change);
    }
    announce(change);
  }

  // With the mutex held.
  void ConfigAdmin::applyValues(const std::vector<std::pair<std::string, std::string> >& values, Change& change)
  {
    std::unordered_map<std::string, Binding*> bound;
    for (Binding& b : m_bindings)
      bound.emplace(b.name, &b);
    for (const auto& v : values)
      {
        auto found = bound.find(v.first);
        if (found == bound.end())
          continue;
        Binding& b = *found->second;
        if (b.applied && b.last == v.second)
          continue;
        b.last = v.second;
        b.applied = true;
        change.params.emplace_back(b.name, v.second);
        if (b.apply(v.second.c_str()))
          b.held = v.second;
        else
          change.refused.emplace_back("configuration value " + m_label + "." + b.name,
                                      m_label + ": configuration parameter " + b.name + ": \"" +
                                        Report::quote(v.second) + "\" is not a value it takes; it keeps \"" +
                                        Report::quote(b.held) + "\" (said once a minute)");
      }
  }

  void ConfigAdmin::update(bool force)
  {
    Change change;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_changed && !force)
        return;
      m_changed = false;
      if (force)
        change.names.emplace_back(ON_ACTIVATE_CONFIG_SET, m_active);
      const Set* active = find(m_active);
      if (active != nullptr)
        applyValues(active->values, change);
      change.names.emplace_back(ON_UPDATE_CONFIG_SET, m_active);
    }
    announce(change);
  }

  void ConfigAdmin::update(const char* set_id)
  {
    if (set_id == nullptr)
      return;
    Change change;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      const Set* set = find(set_id);
      if (set == nullptr)
        return;
      applyValues(set->values, change);
      change.names.emplace_back(ON_UPDATE_CONFIG_SET, set_id);
    }
    announce(change);
  }

  bool ConfigAdmin::isChanged() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changed;
  }

  const char* ConfigAdmin::getActiveId() const
  {
    // Each thread keeps its own copy: the pointer stays valid until that
    // thread asks again, whatever other threads do.
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(m_mutex);
    copy = m_active;
    return copy.c_str();
  }
RTM_NAMESPACE_END
