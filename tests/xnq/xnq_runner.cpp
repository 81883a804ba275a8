#include "xnq_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace xnq_test {

XnqProcess::XnqProcess(const Launch &launch) {
  int pipeFds[2] = {-1, -1};
  if (launch.terminal) {
    struct winsize size {};
    size.ws_col = 100;
    size.ws_row = 30;
    pid_ = forkpty(&fd_, nullptr, nullptr, &size);
  } else {
    if (pipe(pipeFds) != 0) return;
    pid_ = fork();
    fd_ = pipeFds[0];
  }
  if (pid_ != 0) {
    if (!launch.terminal) close(pipeFds[1]);
    return;
  }
  if (!launch.terminal) {
    const int in = open(launch.input.empty() ? "/dev/null" : launch.input.c_str(), O_RDONLY);
    const int out = open(launch.output.empty() ? "/dev/null" : launch.output.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(pipeFds[1], 2);
  }
  setenv("XNQ_AUDIO_DEVICES", launch.devices.c_str(), 1);
  const struct rlimit limit { launch.fileSizeLimit, launch.fileSizeLimit };
  setrlimit(RLIMIT_FSIZE, &limit);
  std::vector<char *> argv{const_cast<char *>(XNQ_TOOL_PATH)};
  for (const std::string &a : launch.args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(XNQ_TOOL_PATH, argv.data());
  _exit(127);
}

XnqProcess::~XnqProcess() {
  if (!ended_ && pid_ > 0) wait(0);
  if (fd_ >= 0) close(fd_);
}

void XnqProcess::drain(int timeoutMs) {
  struct pollfd in {
    fd_, POLLIN, 0
  };
  char buffer[4096];
  while (poll(&in, 1, timeoutMs) > 0) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    text_.append(buffer, static_cast<size_t>(n));
    timeoutMs = 0;
  }
}

const std::string &XnqProcess::text() {
  drain(0);
  return text_;
}

bool XnqProcess::waitFor(const std::string &text, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (text_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > until) return false;
    drain(20);
  }
  return true;
}

void XnqProcess::type(const std::string &keys) {
  if (write(fd_, keys.data(), keys.size()) < 0) return;
}

void XnqProcess::signal(int signal) { kill(pid_, signal); }

int XnqProcess::wait(double seconds) {
  if (ended_) return status_;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int raw = 0;
  while (waitpid(pid_, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      drain(0);
      ended_ = true;
      return status_ = -1;
    }
    drain(20);
  }
  drain(0);
  ended_ = true;
  return status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool XnqProcess::terminalRestored() const {
  struct termios settings {};
  return tcgetattr(fd_, &settings) == 0 && (settings.c_lflag & ECHO) && (settings.c_lflag & ICANON);
}

int RunXnq(const Launch &launch, std::string *text) {
  XnqProcess xnq(launch);
  const int status = xnq.wait(60);
  if (text != nullptr) *text = xnq.text();
  return status;
}

}  // namespace xnq_test
