// Helpers for SDOPackage::NVList, whose values peers expect as strings
// (object references only under dataport.corba_cdr.inport_ref).
#ifndef RTM_SRC_NVUTIL_H
#define RTM_SRC_NVUTIL_H

#include <rtm/config_rtc.h>
#include <string>

#include <rtm/RTC.h>

RTM_NAMESPACE_BEGIN(RTC)
  namespace NVUtil
  {
    void appendString(SDOPackage::NVList& list, const char* name, const std::string& value);
    void appendObject(SDOPackage::NVList& list, const char* name, CORBA::Object_ptr obj);
    // Sets name to a string value, replacing an existing entry.
    void setString(SDOPackage::NVList& list, const char* name, const std::string& value);
    // Index of name, or -1.
    int find(const SDOPackage::NVList& list, const char* name);
    // True when name is present and holds a string.
    bool getString(const SDOPackage::NVList& list, const char* name, std::string& out);
    SDOPackage::NVList fromProperties(const coil::Properties& prop);
    // The process's ORB (the one the manager started).
    CORBA::ORB_ptr theORB();
  }
  // Lower-case copy of an ASCII string.
  std::string toLower(std::string text);
RTM_NAMESPACE_END

#endif
