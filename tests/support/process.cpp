#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testing_support
{
  namespace
  {
    using Clock = std::chrono::steady_clock;

    int remaining(Clock::time_point deadline)
    {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }

  Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& cwd)
  {
    int in[2], out[2], err[2];
    // Close-on-exec, so that no later child holds our ends open.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0)
      throw std::runtime_error("fork failed");
    if (m_pid == 0)
      {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
          close(fd);
        for (const std::string& e : env)
          putenv(strdup(e.c_str()));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
          _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv)
          args.push_back(strdup(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::fprintf(stderr, "exec %s failed: %s\n", args[0], std::strerror(errno));
        _exit(127);
      }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    fcntl(m_err, F_SETFL, O_NONBLOCK);
  }

  Process::~Process()
  {
    // Gently first: end of input, then SIGTERM, then SIGKILL.
    closeInput();
    if (running() && wait(2000) == -1)
      {
        signal(SIGTERM);
        if (wait(1000) == -1)
          {
            signal(SIGKILL);
            wait(2000);
          }
      }
    for (int fd : {m_in, m_out, m_err})
      if (fd >= 0)
        close(fd);
  }

  bool Process::readLine(std::string& line, int timeout_ms)
  {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;)
      {
        std::string::size_type nl = m_outBuffer.find('\n');
        if (nl != std::string::npos)
          {
            line = m_outBuffer.substr(0, nl);
            m_outBuffer.erase(0, nl + 1);
            return true;
          }
        if (m_outClosed)
          return false;
        pollfd p = {m_out, POLLIN, 0};
        int left = remaining(deadline);
        if (poll(&p, 1, left) <= 0)
          return false;
        char buffer[4096];
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n > 0)
          m_outBuffer.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
          m_outClosed = true;
      }
  }

  bool Process::waitForOutput(const std::string& text, int timeout_ms, std::string* found)
  {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    while (readLine(line, remaining(deadline)))
      if (line.find(text) != std::string::npos)
        {
          if (found != nullptr)
            *found = line;
          return true;
        }
    return false;
  }

  void Process::drainStderr(int timeout_ms)
  {
    pollfd p = {m_err, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0)
      {
        char buffer[4096];
        ssize_t n = read(m_err, buffer, sizeof buffer);
        if (n <= 0)
          break;
        m_errBuffer.append(buffer, static_cast<std::size_t>(n));
        timeout_ms = 0;
      }
  }

  std::string Process::errorText()
  {
    drainStderr(0);
    return m_errBuffer;
  }

  bool Process::waitForError(const std::string& text, int timeout_ms)
  {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;)
      {
        drainStderr(0);
        if (m_errBuffer.find(text) != std::string::npos)
          return true;
        if (Clock::now() >= deadline)
          return false;
        drainStderr(std::min(20, remaining(deadline)));
      }
  }

  void Process::write(const std::string& text)
  {
    if (m_in >= 0 && ::write(m_in, text.data(), text.size()) < 0)
      closeInput();
  }

  void Process::closeInput()
  {
    if (m_in >= 0)
      close(m_in);
    m_in = -1;
  }

  void Process::signal(int signo)
  {
    if (!m_reaped)
      kill(m_pid, signo);
  }

  int Process::wait(int timeout_ms)
  {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!m_reaped)
      {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid)
          {
            m_reaped = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
          }
        if (Clock::now() >= deadline)
          return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    drainStderr(0);
    return m_status;
  }

  bool Process::running()
  {
    if (m_reaped || m_pid <= 0)
      return false;
    return wait(0) == -1;
  }

  bool NamingServer::start()
  {
    stop();
    char dir[] = "/tmp/vorlinde-names-XXXXXX";
    if (mkdtemp(dir) == nullptr)
      return false;
    m_dir = dir;
    m_server = new Process({"/usr/bin/omniNames", "-start", std::to_string(m_port), "-always", "-logdir", m_dir,
                            "-ORBendPoint", "giop:tcp:" + address()});
    // It serves once its port takes connections.
    for (int i = 0; i < 250 && m_server->running(); ++i)
      {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, m_host.c_str(), &addr.sin_addr);
        addr.sin_port = htons(static_cast<std::uint16_t>(m_port));
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (up)
          return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    return false;
  }

  void NamingServer::stop(bool crash)
  {
    if (m_server == nullptr)
      return;
    m_server->signal(crash ? SIGKILL : SIGTERM);
    m_server->wait(5000);
    delete m_server;
    m_server = nullptr;
    std::system(("rm -rf " + m_dir).c_str());
  }

  XServer::XServer()
  {
    for (int n = 150; n < 200 && m_display.empty(); ++n)
      {
        const std::string number = std::to_string(n);
        if (access(("/tmp/.X" + number + "-lock").c_str(), F_OK) == 0)
          continue;
        m_server = new Process({"/usr/bin/Xvfb", ":" + number, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
        for (int i = 0; i < 100 && m_display.empty() && m_server->running(); ++i)
          {
            if (access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) == 0)
              {
                m_display = ":" + number;
                m_number = n;
              }
            else
              std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        if (m_display.empty())
          {
            delete m_server;
            m_server = nullptr;
          }
      }
  }

  void XServer::kill()
  {
    if (m_server == nullptr)
      return;
    m_server->signal(SIGKILL);
    m_server->wait(5000);
    delete m_server;
    m_server = nullptr;
    // A killed server leaves its lock and socket behind.
    unlink(("/tmp/.X" + std::to_string(m_number) + "-lock").c_str());
    unlink(("/tmp/.X11-unix/X" + std::to_string(m_number)).c_str());
  }

  std::string builtProgram(const std::string& relative)
  {
    return std::string(PROJ_BINARY_DIR) + "/" + relative;
  }

  std::string fixtureNamingService()
  {
    std::ifstream in(std::string(PROJ_BINARY_DIR) + "/tests/naming.port");
    std::string port;
    if (!(in >> port))
      return "";
    return "127.0.0.1:" + port;
  }

  std::string fixtureDisplay()
  {
    std::ifstream in(std::string(PROJ_BINARY_DIR) + "/tests/xvfb.display");
    std::string display;
    if (!(in >> display))
      return "";
    return display;
  }

  int freePort()
  {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
  }

  int run(const std::vector<std::string>& argv, std::string* output, int timeout_ms)
  {
    Process p(argv);
    p.closeInput();
    std::string line, text;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (p.readLine(line, remaining(deadline)))
      text += line + "\n";
    int status = p.wait(remaining(deadline) + 100);
    if (output != nullptr)
      *output = text + p.errorText();
    return status;
  }
}
