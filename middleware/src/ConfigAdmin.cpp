#include <rtm/ConfigAdmin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace RTC
{
  const std::size_t ConfigAdmin::kMaxSets;
  const std::size_t ConfigAdmin::kMaxBytes;

  namespace
  {
    bool hidden(const std::string& id)
    {
      return id.size() >= 4 && id.compare(0, 2, "__") == 0 && id.compare(id.size() - 2, 2, "__") == 0;
    }

    std::string* valueOf(ConfigAdmin::Set& set, const std::string& name)
    {
      for (auto& v : set.values)
        if (v.first == name)
          return &v.second;
      return nullptr;
    }
  }

  ConfigAdmin::ConfigAdmin()
    : m_active("default"), m_activeAvailable(true), m_changed(false), m_lastRefusalSaid(-1000)
  {
  }

  // With the mutex held.
  std::size_t ConfigAdmin::bytes() const
  {
    std::size_t n = 0;
    for (const Set& set : m_sets)
      {
        n += set.id.size() + set.description.size();
        for (const auto& v : set.values)
          n += v.first.size() + v.second.size();
      }
    return n;
  }

  // With the mutex held: false, said on standard error at most once a minute.
  bool ConfigAdmin::refuse(const char* what)
  {
    const long now = static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    if (now - m_lastRefusalSaid >= 60)
      {
        m_lastRefusalSaid = now;
        std::fprintf(stderr, "rtc: %s: configuration change refused: %s (at most %zu sets, %zu bytes)\n",
                     m_label.c_str(), what, kMaxSets, kMaxBytes);
      }
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
            m_sets.push_back(Set{id, "", {}, false});
            set = &m_sets.back();
          }
        if (name == "description")
          set->description = conf.getProperty(key);
        else
          set->values.emplace_back(name, conf.getProperty(key));
      }
    // A component without parameters has no set until its active one is
    // asked for; then an empty "default".
    const std::string start = props.getProperty("configuration.active_config");
    m_active = !start.empty() && find(start) != nullptr && start[0] != '_' ? start : "default";
    m_activeAvailable = true;
    m_changed = true;
  }

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
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bindings.push_back(Binding{name, def, apply, "", false});
    Binding& b = m_bindings.back();
    // The active set's value at once; a set without the key gets it, empty.
    Set* active = find(m_active);
    if (active == nullptr)
      {
        m_sets.insert(m_sets.begin(), Set{m_active, "", {}, false});
        active = &m_sets.front();
      }
    std::string* value = valueOf(*active, b.name);
    if (value == nullptr)
      {
        active->values.emplace_back(b.name, "");
        b.last = "";
        b.applied = true;
        return;
      }
    applyValues({{b.name, *value}});
  }

  // With the mutex held.
  void ConfigAdmin::applyValues(const std::vector<std::pair<std::string, std::string> >& values)
  {
    for (const auto& v : values)
      for (Binding& b : m_bindings)
        {
          if (b.name != v.first || (b.applied && b.last == v.second))
            continue;
          b.last = v.second;
          b.applied = true;
          if (!b.apply(v.second.c_str()))
            std::fprintf(stderr, "rtc: %s: configuration parameter %s: \"%s\" is not a value it takes; using %s\n",
                         m_label.c_str(), b.name.c_str(), v.second.c_str(), b.def.c_str());
        }
  }

  void ConfigAdmin::update(bool force)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_changed && !force)
      return;
    m_changed = false;
    const Set* active = find(m_active);
    if (active != nullptr)
      applyValues(active->values);
  }

  void ConfigAdmin::update(const char* set_id)
  {
    if (set_id == nullptr)
      return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Set* set = find(set_id);
    if (set != nullptr)
      applyValues(set->values);
  }

  bool ConfigAdmin::isChanged() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changed;
  }

  const char* ConfigAdmin::getActiveId() const
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_activeCopy = m_active;
    return m_activeCopy.c_str();
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
      m_sets.push_back(Set{"default", "", {}, false});
    const Set* set = find(m_active);
    if (!m_activeAvailable || set == nullptr)
      return false;
    out = *set;
    return true;
  }

  bool ConfigAdmin::setSetValues(const Set& values)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Set* set = find(values.id);
    std::size_t grown = bytes() + (set == nullptr ? values.id.size() : 0);
    for (const auto& v : values.values)
      grown += v.first.size() + v.second.size();
    if (set == nullptr && m_sets.size() >= kMaxSets)
      return refuse("too many sets");
    if (grown > kMaxBytes)
      return refuse("too large");
    if (set == nullptr)
      {
        m_sets.push_back(Set{values.id, "", {}, false});
        set = &m_sets.back();
      }
    for (const auto& v : values.values)
      {
        std::string* value = valueOf(*set, v.first);
        if (value != nullptr)
          *value = v.second;
        else
          set->values.push_back(v);
      }
    m_activeAvailable = false;
    return true;
  }

  bool ConfigAdmin::addSet(const Set& values)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (values.id.empty() || find(values.id) != nullptr)
      return false;
    std::size_t grown = bytes() + values.id.size();
    for (const auto& v : values.values)
      grown += v.first.size() + v.second.size();
    if (m_sets.size() >= kMaxSets)
      return refuse("too many sets");
    if (grown > kMaxBytes)
      return refuse("too large");
    m_sets.push_back(Set{values.id, "", values.values, true});
    m_activeAvailable = false;
    return true;
  }

  bool ConfigAdmin::removeSet(const std::string& id)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_sets.begin(), m_sets.end(), [&](const Set& s) { return s.id == id; });
    if (it == m_sets.end() || !it->removable || id == m_active)
      return false;
    m_sets.erase(it);
    m_activeAvailable = false;
    return true;
  }

  bool ConfigAdmin::activateSet(const std::string& id)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (id.empty() || id[0] == '_' || find(id) == nullptr)
      return false;
    m_active = id;
    m_activeAvailable = true;
    m_changed = true;
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
}
