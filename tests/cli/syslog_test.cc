// The run log's syslog side, against a real receiver: a datagram socket that
// this test binds at /dev/log, where the C library's syslog sends. It runs
// only where no syslog daemon owns /dev/log (so the host's syslog never
// hears from a test) and the test may create it (root); elsewhere it skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "cli_test_util.h"

namespace {

class SyslogReceiver {
 public:
  // Empty when the receiver could be set up, else why not.
  std::string start() {
    if (geteuid() != 0) return "needs root to create /dev/log";
    struct stat st;
    if (lstat("/dev/log", &st) == 0) return "/dev/log exists (a syslog daemon listens there)";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return std::string("socket: ") + strerror(errno);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      return std::string("cannot bind /dev/log: ") + strerror(errno);
    bound_ = true;
    return "";
  }
  ~SyslogReceiver() {
    if (bound_) unlink("/dev/log");
    if (fd_ >= 0) close(fd_);
  }
  // The texts that process pid sent, in order, each checked for facility
  // daemon, priority info and the identity with the pid.
  std::vector<std::string> texts_from(long pid) {
    std::vector<std::string> texts;
    std::regex form("<30>.* zuv_maintenance\\[" + std::to_string(pid) + "\\]: (.*)");
    char buf[2048];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, 0)) > 0) {
      std::string msg(buf, static_cast<size_t>(n));
      while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\0')) msg.pop_back();
      std::smatch m;
      if (std::regex_match(msg, m, form))
        texts.push_back(m[1]);
      else
        report_if_ours(msg, pid);
    }
    return texts;
  }

 private:
  // Another process may log while /dev/log is ours; only a malformed message
  // of the program under test is a failure.
  static void report_if_ours(const std::string& msg, long pid) {
    if (msg.find("[" + std::to_string(pid) + "]") != std::string::npos)
      ADD_FAILURE() << "malformed syslog message: " << msg;
  }
  int fd_ = -1;
  bool bound_ = false;
};

// The pid of the run, from its "started" entry in the log file.
long pid_in_log(const std::string& log_file) {
  std::smatch m;
  std::string text = test::read_text(log_file);
  static const std::regex started(R"(pid=(\d+) started)");
  return std::regex_search(text, m, started) ? std::stol(m[1]) : -1;
}

TEST(RunLogSyslogTest, EntriesArriveWithIdentityPidFacilityAndPriority) {
  SyslogReceiver receiver;
  std::string why = receiver.start();
  if (!why.empty()) GTEST_SKIP() << "no syslog receiver: " << why;

  test::TempDir dir;
  auto r = test::run(test::program_path(), {"scrub", "--backup-dir", dir.file("none"), "--bogus",
                                            "--log-path", dir.path()});
  EXPECT_EQ(r.exit_status, 1);
  long pid = pid_in_log(dir.file("maintenance.log"));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(
      receiver.texts_from(pid),
      (std::vector<std::string>{"started", "unknown option '--bogus' ignored", "stopped exit=1"}));

  // A syslog mask of 0 sends nothing; the file still gets its entries.
  test::TempDir quiet;
  r = test::run(test::program_path(), {"--help", "--syslog", "0", "--log-path", quiet.path()});
  EXPECT_EQ(r.exit_status, 0);
  pid = pid_in_log(quiet.file("maintenance.log"));
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(receiver.texts_from(pid).empty());
}

}  // namespace
