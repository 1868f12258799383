// Modules: shared objects found through manager.modules.load_path whose
// init function registers factories; the loadable ones described by the
// profile command (vorlinde-rtcprof) run on each, in a process of its own.
#include "ManagerImpl.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "ComponentArgs.h"
#include "ManagerConfig.h"
#include "Report.h"

extern char** environ;

RTM_NAMESPACE_BEGIN(RTC)
  namespace
  {
    bool isRegularFile(const std::string& path)
    {
      struct stat st;
      return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    std::string currentDirectory()
    {
      char buf[PATH_MAX];
      return getcwd(buf, sizeof buf) != nullptr ? buf : ".";
    }

    // A load path as an absolute directory, without a trailing slash; a
    // relative one is taken from the working directory.
    std::string directory(const std::string& dir)
    {
      std::string base = dir.empty() || dir == "." || dir == "./" ? currentDirectory()
                         : dir[0] == '/'                          ? dir
                                                                  : currentDirectory() + "/" + dir;
      while (base.size() > 1 && base.back() == '/')
        base.pop_back();
      return base;
    }

    std::string joinPath(const std::string& dir, const std::string& file) { return directory(dir) + "/" + file; }

    std::string realPath(const std::string& path)
    {
      char buf[PATH_MAX];
      return realpath(path.c_str(), buf) != nullptr ? buf : "";
    }

    // Directory trees are searched this deep and this wide at most, without
    // following links to directories: a load path of "/" must not take the
    // manager away for minutes.
    const int MAX_DEPTH = 8;
    const int MAX_ENTRIES = 20000;

    void walk(const std::string& dir, int depth, int& budget,
              const std::function<bool(const std::string&, const std::string&)>& visit)
    {
      DIR* d = opendir(dir.c_str());
      if (d == nullptr)
        return;
      std::vector<std::string> subdirs;
      while (dirent* e = readdir(d))
        {
          if (--budget < 0)
            break;
          const std::string name = e->d_name;
          if (name == "." || name == "..")
            continue;
          const std::string path = dir + "/" + name;
          struct stat st;
          if (lstat(path.c_str(), &st) != 0)
            continue;
          if (S_ISDIR(st.st_mode))
            subdirs.push_back(path);
          else if (!visit(path, name))
            {
              budget = -1;
              break;
            }
        }
      closedir(d);
      std::sort(subdirs.begin(), subdirs.end());
      for (const std::string& sub : subdirs)
        if (depth < MAX_DEPTH && budget >= 0)
          walk(sub, depth + 1, budget, visit);
    }

    std::vector<std::string> loadPaths(const coil::Properties& config, bool scan)
    {
      std::vector<std::string> dirs = splitList(config.getProperty("manager.modules.load_path"));
      if (scan)
        for (const std::string& d : splitList(config.getProperty("manager.modules.C++.load_paths")))
          dirs.push_back(d);
      return dirs;
    }

    // Where a relative name is found: DIR/NAME in each load path, then a
    // file of that name below it. "" when nowhere.
    std::string findInLoadPaths(const coil::Properties& config, const std::string& name)
    {
      const std::vector<std::string> dirs = loadPaths(config, false);
      for (const std::string& dir : dirs)
        if (isRegularFile(joinPath(dir, name)))
          return joinPath(dir, name);
      if (name.find('/') != std::string::npos)
        return "";
      for (const std::string& dir : dirs)
        {
          std::string found;
          int budget = MAX_ENTRIES;
          walk(directory(dir), 0, budget, [&](const std::string& path, const std::string& entry) {
              if (entry == name && isRegularFile(path))
                found = path;
              return found.empty();
            });
          if (!found.empty())
            return found;
        }
      return "";
    }

    // Whether path lies in one of the load paths (links resolved).
    bool withinLoadPaths(const coil::Properties& config, const std::string& path)
    {
      const std::string real = realPath(path);
      if (real.empty())
        return false;
      for (const std::string& dir : loadPaths(config, false))
        {
          std::string root = realPath(directory(dir));
          if (root.empty())
            continue;
          if (root.back() != '/')
            root += '/';
          if (real.compare(0, root.size(), root) == 0)
            return true;
        }
      return false;
    }

    // "Vorlinde.so" -> "VorlindeInit": the name's last path segment up to
    // its first dot.
    std::string defaultInitName(const std::string& file)
    {
      std::string base = file.substr(file.rfind('/') == std::string::npos ? 0 : file.rfind('/') + 1);
      return base.substr(0, base.find('.')) + "Init";
    }

    // A module built against another middleware brings that middleware's
    // manager with it; its init would be handed ours.
    bool isForeign(void* handle)
    {
      return dlsym(handle, "_ZN3RTC7Manager8instanceEv") != nullptr;
    }
  }

  ReturnCode_t Manager::load(const std::string& fname, const std::string& initfunc)
  {
    std::string why;
    const ReturnCode_t code = m_impl->loadModule(*this, fname, initfunc, false, why);
    if (code != RTC_OK)
      warn("load: " + why);
    return code;
  }

  ReturnCode_t Manager::Impl::loadModule(Manager& m, const std::string& given, const std::string& initfunc,
                                         bool remote, std::string& why)
  {
    const std::string fname = coil::trim(given);
    const std::string quoted = "\"" + Report::quote(fname) + "\"";
    if (fname.empty())
      {
        why = "an empty module name";
        return BAD_PARAMETER;
      }
    if (fname.find("://") != std::string::npos)
      {
        why = quoted + ": downloading modules is not allowed";
        return PRECONDITION_NOT_MET;
      }
    std::string path;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const bool anywhere = yesValue(setting("manager.modules.abs_path_allowed"));
      if (fname[0] == '/')
        {
          if (remote && !anywhere)
            {
              why = quoted + ": a peer may name only modules of manager.modules.load_path"
                             " (manager.modules.abs_path_allowed is NO)";
              return PRECONDITION_NOT_MET;
            }
          if (!isRegularFile(fname))
            {
              why = quoted + ": no such module file";
              return RTC_ERROR;
            }
          path = fname;
        }
      else
        {
          path = findInLoadPaths(config, fname);
          if (path.empty())
            {
              why = quoted + ": not found in manager.modules.load_path (" +
                    Report::quote(config.getProperty("manager.modules.load_path")) + ")";
              return BAD_PARAMETER;
            }
          if (remote && !anywhere && !withinLoadPaths(config, path))
            {
              why = quoted + ": leads out of manager.modules.load_path";
              return PRECONDITION_NOT_MET;
            }
        }
    }

    // One module at a time; calls that only read the manager go on meanwhile.
    std::lock_guard<std::recursive_mutex> one(moduleMutex);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
      {
        const char* error = dlerror();
        why = "\"" + Report::quote(path) + "\" cannot be loaded: " + (error != nullptr ? error : "dlopen failed");
        return RTC_ERROR;
      }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (std::none_of(modules.begin(), modules.end(), [&](const Module& x) { return x.path == path; }))
        modules.push_back(Module{path, handle});
      unloaded.erase(std::remove(unloaded.begin(), unloaded.end(), realPath(path)), unloaded.end());
    }
    if (isForeign(handle))
      {
        why = "\"" + Report::quote(path) + "\" is built against another middleware; its init is not called";
        return RTC_ERROR;
      }
    const std::string init = coil::trim(initfunc).empty() ? defaultInitName(fname) : coil::trim(initfunc);
    void* symbol = dlsym(handle, init.c_str());
    if (symbol == nullptr)
      {
        why = "\"" + Report::quote(path) + "\" has no init function \"" + Report::quote(init) + "\"";
        return RTC_ERROR;
      }
    ModuleManager::ModuleInitFunc call = nullptr;
    std::memcpy(&call, &symbol, sizeof call);
    std::string outer;
    {
      std::lock_guard<std::mutex> lock(mutex);
      outer = loading;
      loading = path;
    }
    ReturnCode_t code = RTC_OK;
    try
      {
        call(&m);
      }
    catch (const std::exception& e)
      {
        why = "\"" + Report::quote(path) + "\": " + init + " threw: " + Report::quote(e.what());
        code = RTC_ERROR;
      }
    catch (...)
      {
        why = "\"" + Report::quote(path) + "\": " + init + " threw";
        code = RTC_ERROR;
      }
    std::lock_guard<std::mutex> lock(mutex);
    loading = outer;
    return code;
  }

  void Manager::unload(const char* fname)
  {
    const std::string name = fname != nullptr ? fname : "";
    if (!m_impl->unloadModule(name))
      throw ModuleManager::NotFound(name);
  }

  // The module's factories go; its code stays, for components made from it
  // may still run.
  bool Manager::Impl::unloadModule(const std::string& path)
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = std::find_if(modules.begin(), modules.end(), [&](const Module& x) { return x.path == path; });
    if (it == modules.end())
      return false;
    modules.erase(it);
    unloaded.push_back(realPath(path));
    factories.erase(std::remove_if(factories.begin(), factories.end(),
                                   [&](const Factory& f) { return f.module == path; }),
                    factories.end());
    return true;
  }

  void Manager::unloadAll()
  {
    std::vector<std::string> paths;
    {
      std::lock_guard<std::mutex> lock(m_impl->mutex);
      for (const Impl::Module& x : m_impl->modules)
        paths.push_back(x.path);
    }
    for (const std::string& p : paths)
      m_impl->unloadModule(p);
  }

  std::vector<coil::Properties> Manager::getLoadedModules()
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<coil::Properties> list;
    for (const Impl::Module& x : m_impl->modules)
      {
        coil::Properties p;
        p.setProperty("file_path", x.path);
        list.push_back(p);
      }
    return list;
  }

  std::vector<coil::Properties> Manager::getLoadableModules() { return m_impl->loadableModules(); }

  // ----------------------------------------------------- loadable modules

  namespace
  {
    // The profile command's own path: beside this program when it is
    // there, else as the command names it.
    std::string profileCommand(const std::string& cmd)
    {
      if (cmd.find('/') != std::string::npos)
        return cmd;
      char self[PATH_MAX];
      const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
      if (n > 0)
        {
          self[n] = '\0';
          std::string dir(self);
          dir = dir.substr(0, dir.rfind('/'));
          for (const std::string& candidate : {dir + "/" + cmd, dir + "/../tools/" + cmd})
            if (access(candidate.c_str(), X_OK) == 0)
              return candidate;
        }
      return cmd;
    }

    // Runs `cmd file`; its standard output (64 KiB at most) within the
    // deadline, the child killed past it. False when it did not succeed.
    bool runProfile(const std::string& cmd, const std::string& file, Clock::time_point deadline,
                    std::string& out)
    {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      const std::string program = profileCommand(cmd);
      std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(file.c_str()), nullptr};
      pid_t pid = -1;
      const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      close(fds[1]);
      if (spawned != 0)
        {
          close(fds[0]);
          return false;
        }
      char buf[4096];
      for (;;)
        {
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
          pollfd p{fds[0], POLLIN, 0};
          if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            {
              kill(pid, SIGKILL);
              break;
            }
          const ssize_t n = read(fds[0], buf, sizeof buf);
          if (n <= 0)
            break;
          if (out.size() < 64 * 1024)
            out.append(buf, static_cast<std::size_t>(n));
        }
      close(fds[0]);
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        {
        }
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
  }

  std::vector<coil::Properties> Manager::Impl::loadableModules()
  {
    std::vector<std::string> dirs, suffixes;
    std::string cmd;
    {
      std::lock_guard<std::mutex> lock(mutex);
      dirs = loadPaths(config, true);
      suffixes = splitList(config.getProperty("manager.modules.C++.suffixes"));
      cmd = config.getProperty("manager.modules.C++.profile_cmd");
    }
    // Each file is asked once; the whole scan answers within five seconds
    // (what is not asked by then is asked next time).
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    std::vector<coil::Properties> list;
    std::vector<std::string> seen;
    for (const std::string& dir : dirs)
      {
        int budget = MAX_ENTRIES;
        walk(directory(dir), 0, budget, [&](const std::string& path, const std::string& name) {
            const std::string::size_type dot = name.rfind('.');
            if (dot == std::string::npos ||
                std::find(suffixes.begin(), suffixes.end(), name.substr(dot + 1)) == suffixes.end())
              return true;
            const std::string real = realPath(path);
            if (real.empty() || std::find(seen.begin(), seen.end(), real) != seen.end())
              return true;
            seen.push_back(real);
            std::unique_lock<std::mutex> lock(mutex);
            auto cached = profiled.find(real);
            if (cached == profiled.end())
              {
                lock.unlock();
                if (Clock::now() >= deadline)
                  return false;
                std::string out;
                coil::Properties prop;
                if (runProfile(cmd, real, deadline, out))
                  {
                    std::istringstream lines(out);
                    prop.load(lines);
                  }
                lock.lock();
                if (!prop.getProperty("implementation_id").empty() || Clock::now() < deadline)
                  cached = profiled.emplace(real, prop).first;
                else
                  return false;
              }
            if (cached->second.getProperty("implementation_id").empty())
              return true;
            coil::Properties entry = cached->second;
            entry.setProperty("module_file_name", name);
            entry.setProperty("module_file_path", path);
            entry.setProperty("language", "C++");
            list.push_back(entry);
            return true;
          });
      }
    return list;
  }

  bool Manager::Impl::loadModuleFor(Manager& m, const std::string& text)
  {
    ComponentArgs args;
    if (!parseComponentArgs(text, args))
      return false;
    for (const coil::Properties& p : loadableModules())
      if (matchesFactory(args, p))
        {
          // A module unloaded on purpose is not brought back unasked.
          {
            std::lock_guard<std::mutex> lock(mutex);
            const std::string real = realPath(p.getProperty("module_file_path"));
            if (std::find(unloaded.begin(), unloaded.end(), real) != unloaded.end())
              continue;
          }
          std::string why;
          if (loadModule(m, p.getProperty("module_file_path"), "", false, why) == RTC_OK)
            return true;
          warn("load: " + why);
          return false;
        }
    return false;
  }
RTM_NAMESPACE_END
