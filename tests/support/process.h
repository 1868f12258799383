// Child processes for integration tests: spawn with pipes, read output
// lines with a time-out, signal, and wait with a time-out.
#ifndef VORLINDE_TESTS_PROCESS_H
#define VORLINDE_TESTS_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testing_support
{
  class Process
  {
  public:
    // argv[0] is the program path. env entries "KEY=VALUE" are added.
    // cwd, when given, is the child's working directory.
    explicit Process(const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {}, const std::string& cwd = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Next line of standard output (without the newline); false on time-out
    // or end of output.
    bool readLine(std::string& line, int timeout_ms);
    // Reads standard output lines until one contains text.
    bool waitForOutput(const std::string& text, int timeout_ms, std::string* line = nullptr);
    // Everything written to standard error so far (collected without blocking).
    std::string errorText();
    // Until standard error holds text; false on time-out.
    bool waitForError(const std::string& text, int timeout_ms);
    void write(const std::string& text);
    void closeInput();
    void signal(int signo);
    // Exit status (or 128 + signal); -1 on time-out.
    int wait(int timeout_ms);
    bool running();
    pid_t pid() const { return m_pid; }

  private:
    void drainStderr(int timeout_ms);
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::string m_outBuffer, m_errBuffer;
    bool m_outClosed = false;
    int m_status = -1;
    bool m_reaped = false;
  };

  // A naming service (omniNames) of the caller's own on a fixed loopback
  // port, with a new empty data directory each time it starts: a restart
  // forgets every name, as a service restarted without its log would.
  class NamingServer
  {
  public:
    // host: the loopback address it listens on (127.0.0.1 unless told).
    explicit NamingServer(int port, std::string host = "127.0.0.1") : m_port(port), m_host(std::move(host)) {}
    ~NamingServer() { stop(); }
    NamingServer(const NamingServer&) = delete;
    NamingServer& operator=(const NamingServer&) = delete;
    std::string address() const { return m_host + ":" + std::to_string(m_port); }
    // Returns once it serves (false if it did not within 5 s).
    bool start();
    // SIGTERM, or SIGKILL as a crash would.
    void stop(bool crash = false);

  private:
    int m_port;
    std::string m_host;
    std::string m_dir;
    Process* m_server = nullptr;
  };

  // An X server (Xvfb) of the caller's own, on a free display: for what
  // must not disturb the tests' shared one, or must lose its display.
  class XServer
  {
  public:
    XServer();
    ~XServer() { kill(); }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    // ":N", or empty when no server could be started.
    const std::string& display() const { return m_display; }
    // Takes the server away at once (SIGKILL), as a crash would.
    void kill();

  private:
    Process* m_server = nullptr;
    std::string m_display;
    int m_number = 0;
  };

  // Path of a built program, from the build tree.
  std::string builtProgram(const std::string& relative);
  // The naming service the test fixture started ("127.0.0.1:PORT"); empty
  // when there is none.
  std::string fixtureNamingService();
  // The X display the test fixture started (":N"); empty when none.
  std::string fixtureDisplay();
  // A TCP port nobody listens on right now.
  int freePort();
  // Runs a command, returns its exit status and standard output.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr,
          int timeout_ms = 30000);
}

#endif
