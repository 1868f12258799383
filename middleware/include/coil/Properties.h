// coil::Properties: the runtime's key/value configuration store.
//
// Each key holds an optional value and an optional default; getProperty()
// answers the value when one was set, else the default, else "". Keys are
// dotted paths ("exec_cxt.periodic.rate"); the store is flat and ordered by
// key. Files use the "key: value" syntax (first unescaped ':' or '='
// separates; blanks around both are trimmed; '#' and '!' start comments;
// a trailing backslash continues a line).
#ifndef COIL_PROPERTIES_H
#define COIL_PROPERTIES_H

#include <coil/config_coil.h>
#include <climits>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

RTM_NAMESPACE_BEGIN(coil)
  class Properties
  {
  public:
    Properties(const char* key = "", const char* value = "");
    Properties(std::map<std::string, std::string>& defaults);
    // defaults alternates key, value, ...; reading stops after num elements
    // or at the first empty key.
    Properties(const char* defaults[], long num = LONG_MAX);
    Properties(const Properties& prop);
    Properties& operator=(const Properties& prop);
    virtual ~Properties();

    const std::string& getProperty(const std::string& key) const;
    const std::string& getProperty(const std::string& key,
                                   const std::string& def) const;
    const std::string& getDefault(const std::string& key) const;
    // Both return the previous value (or default) of the key.
    std::string setProperty(const std::string& key, const std::string& value);
    std::string setDefault(const std::string& key, const std::string& value);
    void setDefaults(const char* defaults[], long num = LONG_MAX);
    // The value of key, created from its default (or empty) if unset.
    std::string& operator[](const std::string& key);
    const std::string& operator[](const std::string& key) const;

    // True when key has a value or a default.
    bool hasKey(const std::string& key) const;
    // True when key has a value set explicitly (not only a default).
    bool isSet(const std::string& key) const;
    std::vector<std::string> propertyNames() const;
    int size() const;
    bool empty() const;

    // Reads "key: value" lines; later lines override earlier ones.
    void load(std::istream& in);
    // Copies every key of prop that has a value (set, not only default).
    Properties& operator<<(const Properties& prop);
    // The keys below prefix + ".", with the prefix removed.
    Properties getNode(const std::string& prefix) const;

    // The name of this set of keys (a configuration set's id, say): the
    // key given to the (key, value) constructor, or what setName gave.
    const char* getName() const { return m_name.c_str(); }
    void setName(const std::string& name) { m_name = name; }

  private:
    struct Entry
    {
      std::string value;
      std::string def;
      bool hasValue;
      bool hasDefault;
    };
    std::map<std::string, Entry> m_entries;
    std::string m_name;
  };

  // Blanks (space, tab, CR, LF) removed from both ends.
  std::string trim(const std::string& text);
RTM_NAMESPACE_END

#endif
