#include <rtm/config_rtc.h>
#include "NVUtil.h"

#include <algorithm>
#include <cctype>
#include <cstring>

RTM_NAMESPACE_BEGIN(RTC)
  std::string toLower(std::string text)
  {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  }

  namespace NVUtil
  {
    void appendString(SDOPackage::NVList& list, const char* name, const std::string& value)
    {
      CORBA::ULong n = list.length();
      list.length(n + 1);
      list[n].name = CORBA::string_dup(name);
      list[n].value <<= value.c_str();
    }

    void appendObject(SDOPackage::NVList& list, const char* name, CORBA::Object_ptr obj)
    {
      CORBA::ULong n = list.length();
      list.length(n + 1);
      list[n].name = CORBA::string_dup(name);
      list[n].value <<= obj;
    }

    void setString(SDOPackage::NVList& list, const char* name, const std::string& value)
    {
      int i = find(list, name);
      if (i < 0)
        appendString(list, name, value);
      else
        list[static_cast<CORBA::ULong>(i)].value <<= value.c_str();
    }

    int find(const SDOPackage::NVList& list, const char* name)
    {
      for (CORBA::ULong i = 0; i < list.length(); ++i)
        if (std::strcmp(list[i].name.in(), name) == 0)
          return static_cast<int>(i);
      return -1;
    }

    bool getString(const SDOPackage::NVList& list, const char* name, std::string& out)
    {
      int i = find(list, name);
      if (i < 0)
        return false;
      const char* text = nullptr;
      if (!(list[static_cast<CORBA::ULong>(i)].value >>= text))
        return false;
      out = text != nullptr ? text : "";
      return true;
    }

    CORBA::ORB_ptr theORB()
    {
      int argc = 0;
      return CORBA::ORB_init(argc, nullptr);
    }

    SDOPackage::NVList fromProperties(const coil::Properties& prop)
    {
      SDOPackage::NVList list;
      std::vector<std::string> names = prop.propertyNames();
      list.length(static_cast<CORBA::ULong>(names.size()));
      CORBA::ULong i = 0;
      for (const std::string& name : names)
        {
          list[i].name = CORBA::string_dup(name.c_str());
          list[i].value <<= prop.getProperty(name).c_str();
          ++i;
        }
      return list;
    }
  }
RTM_NAMESPACE_END
