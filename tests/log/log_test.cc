// The log facility, in forked children so that the test process's own
// streams are never redirected: the line form, the message cut, the log
// file, its rotation and lines of several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "log/clock.h"
#include "log/log.h"
#include "tests/support/harness.h"

namespace {

const std::string TIMESTAMP = R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d \.(0|[1-9]\d{0,2}): )";

// Files in `directory` named korvanet.log and a 12-digit rotation stamp.
std::vector<std::string> Rotated(const TempDir& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (std::regex_match(entry.path().filename().string(), std::regex(R"(korvanet\.log\.\d{12})")))
      found.push_back(entry.path().string());
  return found;
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The message of a log line after its timestamp, whose form is checked ("?"
// without one). Only the head goes through the regex: messages run long.
std::string MessageOf(const std::string& line, long long* milliseconds = nullptr) {
  std::smatch match;
  std::string head = line.substr(0, 40);
  if (!std::regex_search(head, match, std::regex("^" + TIMESTAMP))) return "?";
  if (milliseconds != nullptr) *milliseconds = std::stoll(match[1]);
  return line.substr(match.length(0));
}

TEST(LogLine, FormMillisecondsAndCut) {
  // Windows in which the milliseconds need one, two and three digits.
  const long long windows[][2] = {{1, 6}, {20, 90}, {200, 900}};
  auto now = [] { return SystemClockMicros() / 1000 % 1000; };
  ChildRun child = RunInChild([&] {
    for (auto [low, high] : windows) {
      while (now() < low || now() + 3 > high) SleepMs(1);
      long long before = now();
      Log("window %s %d%%\n", "as given", 42);
      std::printf("%lld %lld\n", before, static_cast<long long>(now()));
    }
    Log("%s\n", std::string(99998, 'x').c_str());  // 99,999 with its line end: kept whole
    Log("%s\n", std::string(99999, 'y').c_str());  // cut before its line end
    std::fputs("\n", stderr);
    Log("no line end, ");
    Log("next\n");
    return 0;
  });
  std::istringstream err(child.err), out(child.out);
  std::string line;
  for (size_t k = 0; k < std::size(windows); ++k) {
    long long before = 0, after = 0, ms = -1;
    out >> before >> after;
    ASSERT_TRUE(std::getline(err, line));
    EXPECT_EQ(MessageOf(line, &ms), "window as given 42%");
    EXPECT_TRUE(ms >= before && ms <= after) << line;
  }
  std::getline(err, line);
  EXPECT_EQ(MessageOf(line), std::string(99998, 'x'));
  std::getline(err, line);
  EXPECT_EQ(MessageOf(line), std::string(99999, 'y'));
  std::getline(err, line);
  EXPECT_EQ(MessageOf(line).substr(0, 13), "no line end, ");
  EXPECT_EQ(MessageOf(MessageOf(line).substr(13)), "next");
}

TEST(LogFile, RotatesOnlyAboveTheLimit) {
  for (long long size : {LOG_ROTATION_SIZE_BYTES, LOG_ROTATION_SIZE_BYTES + 1}) {
    SCOPED_TRACE(size);
    TempDir dir;
    std::string path = dir.File("korvanet.log"), stampBefore = LocalTimeText("%d%m%Y%H%M");
    ChildRun child = RunInChild([&] {
      SetLogFile(path);
      return ::truncate(path.c_str(), size) == 0 ? (Log("after the check\n"), 0) : 1;
    });
    ASSERT_EQ(child.exitStatus, 0);
    std::vector<std::string> rotated = Rotated(dir), fresh = LogMessages(ReadFileText(path));
    if (size == LOG_ROTATION_SIZE_BYTES) {
      EXPECT_TRUE(rotated.empty());
      EXPECT_EQ(LogMessages(ReadFileText(path).substr(size)), std::vector<std::string>{"after the check"});
      continue;
    }
    ASSERT_EQ(rotated.size(), 1u);
    std::string stamp = rotated[0].substr(rotated[0].size() - 12);
    EXPECT_TRUE(stamp == stampBefore || stamp == LocalTimeText("%d%m%Y%H%M")) << stamp;
    EXPECT_EQ(ReadFileText(rotated[0]).substr(size, 76),
              "Log exceeds the maximum size of 25Mb.\nLog exceeds the maximum size of 25Mb.\n");
    EXPECT_EQ(Count(fresh, "using standart error and info output"), 1);
    EXPECT_EQ(Count(fresh, "Log rotate from here"), 2);  // standard output and standard error
    EXPECT_EQ(fresh.back(), "after the check");
  }
}

TEST(LogFile, SecondRotationInTheSameMinuteFailsAndKeepsTheFirst) {
  TempDir dir;
  std::string path = dir.File("korvanet.log");
  ChildRun child = RunInChild([&] {
    while (std::stoi(LocalTimeText("%S")) >= 50) SleepMs(200);  // both rotations in one minute
    SetLogFile(path);
    Log("in the first file\n");
    for (const char* line : {"after the first rotation\n", "after the failed rotation\n"}) {
      if (::truncate(path.c_str(), LOG_ROTATION_SIZE_BYTES + 1) != 0) return 1;
      Log("%s", line);
    }
    return 0;
  });
  ASSERT_EQ(child.exitStatus, 0);
  std::vector<std::string> rotated = Rotated(dir);
  ASSERT_EQ(rotated.size(), 1u);
  std::string old = ReadFileText(rotated[0]), current = ReadFileText(path);
  EXPECT_NE(old.find("in the first file"), std::string::npos);
  EXPECT_EQ(old.find("after the"), std::string::npos) << "the rotated file was replaced";
  EXPECT_EQ(Count(LogMessages(current), "log rotate failed"), 2);
  EXPECT_NE(current.find("after the failed rotation"), std::string::npos);
}

TEST(LogFile, SetLogFilePaths) {
  const struct {
    std::string path;
    bool created;
    std::string stderrStart;  // of the child's own standard error
  } cases[] = {{"", false, ""},
               {"relative.log", true, "stdout redirected to file\n: "},
               {"/no-such-directory-korvanet/x.log", false, "freopen(stdout) failed\n: No such file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TempDir dir;
    ChildRun child = RunInChild([&] { return ::chdir(dir.path().c_str()) == 0 ? (SetLogFile(c.path), 0) : 1; });
    EXPECT_EQ(child.err.substr(0, c.stderrStart.size()), c.stderrStart);
    EXPECT_EQ(!c.path.empty() && std::filesystem::exists(dir.File(c.path)), c.created);
    // A failed freopen closes the stream: the closing line is lost then.
    std::vector<std::string> log = LogMessages(c.created ? ReadFileText(dir.File(c.path)) : child.err);
    EXPECT_EQ(log.back() == "using standart error and info output", c.path.empty() || c.created);
    if (c.created) {
      EXPECT_EQ(log[0], "stderr redirected to file");
    }
  }
}

// Guards the fault of a log file left fully buffered by freopen: a line
// written just before a crash must already be in the file.
TEST(LogFile, LineIsInTheFileBeforeACrash) {
  TempDir dir;
  ChildRun child = RunInChild([&] {
    SetLogFile(dir.File("korvanet.log"));
    Log("last words\n");
    std::abort();
    return 0;
  });
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_NE(ReadFileText(dir.File("korvanet.log")).find(": last words\n"), std::string::npos);
}

// Guards the fault of lines of different threads mixing on standard error:
// every line comes out whole and once, in its thread's order, also when one
// call rotates the log file under the others.
TEST(LogThreads, LinesNeverMix) {
  constexpr int THREADS = 4, LINES = 300;
  auto payload = [](int t, int n) { return std::string((n * 7919 + t * 104729) % 12000, static_cast<char>('a' + t)); };
  for (bool rotating : {false, true}) {
    SCOPED_TRACE(rotating ? "log file rotated during the burst" : "standard error");
    TempDir dir;
    std::string path = dir.File("korvanet.log");
    ChildRun child = RunInChild([&] {
      if (rotating) SetLogFile(path);
      if (rotating && ::truncate(path.c_str(), LOG_ROTATION_SIZE_BYTES + 1) != 0) return 1;
      std::vector<std::thread> threads;
      for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
          for (int n = 0; n < LINES; ++n) Log("T%d N%d %s\n", t, n, payload(t, n).c_str());
        });
      for (std::thread& thread : threads) thread.join();
      return 0;
    });
    ASSERT_EQ(child.exitStatus, 0) << "deadlock or crash";
    std::string text = child.err;
    if (rotating) {
      ASSERT_EQ(Rotated(dir).size(), 1u);
      text = ReadFileText(Rotated(dir)[0]) + ReadFileText(path);
    }
    std::vector<int> next(THREADS, 0);
    for (const std::string& line : LogMessages(text)) {
      int t = 0, n = 0, at = 0;
      if (std::sscanf(line.c_str(), "T%d N%d %n", &t, &n, &at) != 2) continue;
      ASSERT_TRUE(t >= 0 && t < THREADS) << line.substr(0, 80);
      EXPECT_EQ(n, next[t]);
      EXPECT_EQ(line.substr(at), payload(t, n)) << line.substr(0, 80);
      next[t] = n + 1;
    }
    EXPECT_EQ(next, std::vector<int>(THREADS, LINES));
  }
}

}  // namespace
