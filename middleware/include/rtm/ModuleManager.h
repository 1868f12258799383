// What loading a module can throw, and the type of a module's init
// function (RTC::Manager::load, unload).
#ifndef RTM_MODULEMANAGER_H
#define RTM_MODULEMANAGER_H

#include <string>

#include <rtm/config_rtc.h>

RTM_NAMESPACE_BEGIN(RTC)
  class Manager;

  class ModuleManager
  {
  public:
    typedef void (*ModuleInitFunc)(Manager*);

    struct Error
    {
      explicit Error(const std::string& reason_) : reason(reason_) {}
      std::string reason;
    };
    struct NotAllowedOperation : public Error
    {
      explicit NotAllowedOperation(const std::string& reason_) : Error(reason_) {}
    };
    struct InvalidArguments : public Error
    {
      explicit InvalidArguments(const std::string& reason_) : Error(reason_) {}
    };
    struct InvalidOperation : public Error
    {
      explicit InvalidOperation(const std::string& reason_) : Error(reason_) {}
    };

    struct NotFound
    {
      explicit NotFound(const std::string& name_) : name(name_) {}
      std::string name;
    };
    struct FileNotFound : public NotFound
    {
      explicit FileNotFound(const std::string& name_) : NotFound(name_) {}
    };
    struct ModuleNotFound : public NotFound
    {
      explicit ModuleNotFound(const std::string& name_) : NotFound(name_) {}
    };
    struct SymbolNotFound : public NotFound
    {
      explicit SymbolNotFound(const std::string& name_) : NotFound(name_) {}
    };
  };
RTM_NAMESPACE_END

#endif
