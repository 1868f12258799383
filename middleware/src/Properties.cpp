// coil::Properties: a flat, ordered key/value store with defaults.
#include <coil/config_coil.h>
#include <coil/Properties.h>

#include <istream>

RTM_NAMESPACE_BEGIN(coil)
  namespace
  {
    const std::string& emptyString()
    {
      static const std::string empty;
      return empty;
    }

    // Position of the first ':' or '=' not preceded by a backslash.
    std::string::size_type findSeparator(const std::string& line)
    {
      for (std::string::size_type i = 0; i < line.size(); ++i)
        {
          if (line[i] == '\\')
            {
              ++i;
              continue;
            }
          if (line[i] == ':' || line[i] == '=')
            return i;
        }
      return std::string::npos;
    }

    std::string unescape(const std::string& text)
    {
      std::string out;
      out.reserve(text.size());
      for (std::string::size_type i = 0; i < text.size(); ++i)
        {
          if (text[i] == '\\' && i + 1 < text.size())
            {
              char c = text[++i];
              switch (c)
                {
                case 't': out += '\t'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                default: out += c; break;
                }
              continue;
            }
          out += text[i];
        }
      return out;
    }
  }

  std::string trim(const std::string& text)
  {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
      return std::string();
    std::string::size_type last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
  }

  Properties::Properties(const char* key, const char* value)
    : m_name(key != nullptr ? trim(key) : "")
  {
    if (key != nullptr && key[0] != '\0')
      setDefault(trim(key), trim(value != nullptr ? value : ""));
  }

  Properties::Properties(std::map<std::string, std::string>& defaults)
  {
    for (const auto& kv : defaults)
      setDefault(trim(kv.first), trim(kv.second));
  }

  Properties::Properties(const char* defaults[], long num)
  {
    setDefaults(defaults, num);
  }

  Properties::Properties(const Properties& prop) = default;
  Properties& Properties::operator=(const Properties& prop) = default;
  Properties::~Properties() {}

  void Properties::setDefaults(const char* defaults[], long num)
  {
    if (defaults == nullptr)
      return;
    for (long i = 0; i + 1 < num; i += 2)
      {
        if (defaults[i] == nullptr || defaults[i][0] == '\0')
          break;
        const char* value = defaults[i + 1] != nullptr ? defaults[i + 1] : "";
        setDefault(trim(defaults[i]), trim(value));
      }
  }

  const std::string& Properties::getProperty(const std::string& key) const
  {
    auto it = m_entries.find(key);
    if (it == m_entries.end())
      return emptyString();
    return it->second.hasValue ? it->second.value : it->second.def;
  }

  const std::string& Properties::getProperty(const std::string& key,
                                             const std::string& def) const
  {
    auto it = m_entries.find(key);
    if (it == m_entries.end())
      return def;
    if (it->second.hasValue)
      return it->second.value;
    return it->second.hasDefault ? it->second.def : def;
  }

  const std::string& Properties::getDefault(const std::string& key) const
  {
    auto it = m_entries.find(key);
    return it == m_entries.end() ? emptyString() : it->second.def;
  }

  std::string Properties::setProperty(const std::string& key,
                                      const std::string& value)
  {
    Entry& e = m_entries[key];
    std::string old = e.hasValue ? e.value : e.def;
    e.value = value;
    e.hasValue = true;
    return old;
  }

  std::string Properties::setDefault(const std::string& key,
                                     const std::string& value)
  {
    Entry& e = m_entries[key];
    std::string old = e.def;
    e.def = value;
    e.hasDefault = true;
    return old;
  }

  std::string& Properties::operator[](const std::string& key)
  {
    Entry& e = m_entries[key];
    if (!e.hasValue)
      {
        e.value = e.def;
        e.hasValue = true;
      }
    return e.value;
  }

  const std::string& Properties::operator[](const std::string& key) const
  {
    return getProperty(key);
  }

  bool Properties::hasKey(const std::string& key) const
  {
    return m_entries.find(key) != m_entries.end();
  }

  bool Properties::isSet(const std::string& key) const
  {
    auto it = m_entries.find(key);
    return it != m_entries.end() && it->second.hasValue;
  }

  std::vector<std::string> Properties::propertyNames() const
  {
    std::vector<std::string> names;
    names.reserve(m_entries.size());
    for (const auto& kv : m_entries)
      names.push_back(kv.first);
    return names;
  }

  int Properties::size() const { return static_cast<int>(m_entries.size()); }
  bool Properties::empty() const { return m_entries.empty(); }

  void Properties::load(std::istream& in)
  {
    std::string line, pending;
    while (std::getline(in, line))
      {
        std::string text = trim(line);
        if (pending.empty() && (text.empty() || text[0] == '#' || text[0] == '!'))
          continue;
        // A trailing unescaped backslash joins the next line.
        std::string::size_type tail = text.size();
        while (tail > 0 && text[tail - 1] == '\\')
          --tail;
        if ((text.size() - tail) % 2 == 1)
          {
            pending += text.substr(0, text.size() - 1);
            continue;
          }
        pending += text;
        std::string::size_type sep = findSeparator(pending);
        std::string key = trim(pending.substr(0, sep));
        std::string value = sep == std::string::npos ? "" : trim(pending.substr(sep + 1));
        pending.clear();
        if (!key.empty())
          setProperty(unescape(key), unescape(value));
      }
    if (!pending.empty())
      {
        std::string::size_type sep = findSeparator(pending);
        std::string key = trim(pending.substr(0, sep));
        if (!key.empty())
          setProperty(unescape(key),
                      sep == std::string::npos ? "" : unescape(trim(pending.substr(sep + 1))));
      }
  }

  Properties& Properties::operator<<(const Properties& prop)
  {
    for (const auto& kv : prop.m_entries)
      if (kv.second.hasValue)
        setProperty(kv.first, kv.second.value);
    return *this;
  }

  Properties Properties::getNode(const std::string& prefix) const
  {
    Properties node;
    node.m_name = prefix.substr(prefix.rfind('.') + 1);
    std::string head = prefix + ".";
    for (auto it = m_entries.lower_bound(head);
         it != m_entries.end() && it->first.compare(0, head.size(), head) == 0; ++it)
      node.m_entries[it->first.substr(head.size())] = it->second;
    return node;
  }
RTM_NAMESPACE_END
