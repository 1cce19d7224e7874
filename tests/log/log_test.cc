// The log facility in forked children: the line form, the message cut, the
// rotation boundary and its failure, SetLogFile's paths, and lines of several
// threads (across a rotation too) that must stay whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "log/clock.h"
#include "log/log.h"
#include "tests/log/forked_child.h"
#include "tests/support/run_program.h"  // LogMessages, HasLine
#include "tests/support/temp_dir.h"

namespace {

const std::string TIMESTAMP = R"((\d\d-\d\d-\d{4} \d\d:\d\d:\d\d )\.(0|[1-9]\d{0,2}): )";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A log line split into its timestamp, milliseconds and message. The prefix
// alone goes through the regex: messages run to 100,000 characters.
struct LogLine {
  bool valid = false;
  std::string time;
  std::string milliseconds;
  std::string message;
};

LogLine ParseLogLine(const std::string& line) {
  static const std::regex prefix("^" + TIMESTAMP);
  LogLine parsed;
  std::smatch match;
  std::string head = line.substr(0, 40);
  if (!std::regex_search(head, match, prefix)) return parsed;
  parsed = {true, match[1], match[2], line.substr(match.length(0))};
  return parsed;
}

// A log file's text without the zeros that truncate() put into it.
std::string ReadLogText(const std::string& path) {
  std::string text = ReadFileText(path);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

int64_t MillisecondOf(int64_t micros) { return (micros / 1000) % 1000; }

// Files in `directory` named `name` followed by a 12-digit rotation stamp.
std::vector<std::string> RotatedFiles(const std::string& directory, const std::string& name) {
  std::vector<std::string> found;
  const std::regex rotated(std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") + R"(\.\d{12})");
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (std::regex_match(entry.path().filename().string(), rotated)) found.push_back(entry.path().string());
  return found;
}

// Waits until the millisecond within the second lies in [low, high] and the
// next few milliseconds will too.
int64_t WaitForMillisecond(int64_t low, int64_t high) {
  for (;;) {
    int64_t now = SystemClockMicros();
    if (MillisecondOf(now) >= low && MillisecondOf(now) + 3 <= high) return now;
    SleepMs(1);
  }
}

TEST(LogLine, TimestampMillisecondsAndMessage) {
  // Windows that need one, two and three digits for the milliseconds.
  const std::vector<std::pair<int64_t, int64_t>> windows = {{1, 8}, {20, 90}, {200, 900}};
  TempDir dir;
  ChildRun child = RunInChild(dir.path(), [&] {
    for (size_t k = 0; k < windows.size(); ++k) {
      int64_t before = WaitForMillisecond(windows[k].first, windows[k].second);
      Log("window %zu %s %d%%\n", k, "as given", 42);
      std::printf("%lld %lld\n", static_cast<long long>(MillisecondOf(before)),
                  static_cast<long long>(MillisecondOf(SystemClockMicros())));
    }
    return 0;
  });
  ASSERT_EQ(child.exitStatus, 0);
  std::vector<std::string> lines = SplitLines(child.err), readings = SplitLines(child.out);
  ASSERT_EQ(lines.size(), windows.size()) << child.err;
  ASSERT_EQ(readings.size(), windows.size()) << child.out;
  for (size_t k = 0; k < windows.size(); ++k) {
    SCOPED_TRACE(lines[k] + " / clock " + readings[k]);
    LogLine parsed = ParseLogLine(lines[k]);  // the form, and no leading zeros
    ASSERT_TRUE(parsed.valid);
    long long msBefore = 0, msAfter = 0;
    ASSERT_EQ(std::sscanf(readings[k].c_str(), "%lld %lld", &msBefore, &msAfter), 2);
    long long ms = std::stoll(parsed.milliseconds);
    EXPECT_TRUE(ms >= msBefore && ms <= msAfter);
    EXPECT_EQ(parsed.message, "window " + std::to_string(k) + " as given 42%");
  }
}

TEST(LogLine, MessagesAreCutAndRunOnAsGiven) {
  const std::vector<size_t> lengths = {99998, 99999, 100000, 150000};
  TempDir dir;
  ChildRun child = RunInChild(dir.path(), [&] {
    for (size_t length : lengths) {
      Log("%s", std::string(length, 'x').c_str());
      std::fputs("\n", stderr);
    }
    Log("no line end, ");
    Log("next\n");
    return 0;
  });
  ASSERT_EQ(child.exitStatus, 0);
  std::vector<std::string> lines = SplitLines(child.err);
  ASSERT_EQ(lines.size(), lengths.size() + 1);
  for (size_t k = 0; k < lengths.size(); ++k) {
    LogLine parsed = ParseLogLine(lines[k]);
    ASSERT_TRUE(parsed.valid) << k;
    EXPECT_EQ(parsed.message, std::string(std::min<size_t>(lengths[k], LOG_MESSAGE_BUFFER_BYTES - 1), 'x'));
  }
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(TIMESTAMP + "no line end, " + TIMESTAMP + "next")))
      << lines.back();
}

struct RotationCase {
  const char* name;
  long long sizeBytes;  // the log file's size before the Log call
  bool rotated;
};

TEST(LogRotation, RotatesOnlyAboveTheLimit) {
  const std::vector<RotationCase> cases = {{"exactly the limit", LOG_ROTATION_SIZE_BYTES, false},
                                           {"one byte above", LOG_ROTATION_SIZE_BYTES + 1, true}};
  for (const RotationCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string path = dir.File("korvanet.log");
    std::string stampBefore = LocalTimeText("%d%m%Y%H%M");
    ChildRun child = RunInChild(dir.path(), [&] {
      SetLogFile(path);
      if (::truncate(path.c_str(), c.sizeBytes) != 0) return 1;
      Log("after the check\n");
      return 0;
    });
    std::string stampAfter = LocalTimeText("%d%m%Y%H%M");
    ASSERT_FALSE(child.timedOut);
    ASSERT_EQ(child.exitStatus, 0);
    std::vector<std::string> rotated = RotatedFiles(dir.path(), "korvanet.log");
    std::string current = ReadFileText(path);
    if (!c.rotated) {
      EXPECT_TRUE(rotated.empty());
      ASSERT_GT(current.size(), static_cast<size_t>(c.sizeBytes));
      EXPECT_EQ(LogMessages(current.substr(c.sizeBytes)), std::vector<std::string>{"after the check"});
      continue;
    }
    ASSERT_EQ(rotated.size(), 1u);
    std::string stamp = rotated[0].substr(rotated[0].size() - 12);
    EXPECT_TRUE(stamp == stampBefore || stamp == stampAfter) << stamp;
    std::string old = ReadFileText(rotated[0]);
    EXPECT_GE(old.size(), static_cast<size_t>(c.sizeBytes));
    EXPECT_NE(old.find("Log exceeds the maximum size of 25Mb.\nLog exceeds the maximum size of 25Mb.\n",
                       c.sizeBytes),
              std::string::npos);
    std::vector<std::string> fresh = LogMessages(current);
    EXPECT_LT(current.size(), 4096u);
    EXPECT_TRUE(HasLine(fresh, "using standart error and info output")) << current;
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), "Log rotate from here"), 2) << current;
    EXPECT_EQ(fresh.back(), "after the check") << current;
    EXPECT_FALSE(HasLine(fresh, "log rotate failed"));
  }
}

TEST(LogRotation, SecondRotationInTheSameMinuteFails) {
  TempDir dir;
  std::string path = dir.File("korvanet.log");
  ChildRun child = RunInChild(dir.path(), [&] {
    // Both rotations must share their minute stamp.
    while (std::stoi(LocalTimeText("%S")) >= 50) SleepMs(200);
    SetLogFile(path);
    Log("in the first file\n");
    if (::truncate(path.c_str(), LOG_ROTATION_SIZE_BYTES + 1) != 0) return 1;
    Log("after the first rotation\n");
    if (::truncate(path.c_str(), LOG_ROTATION_SIZE_BYTES + 1) != 0) return 1;
    Log("after the failed rotation\n");
    return 0;
  });
  ASSERT_FALSE(child.timedOut);
  ASSERT_EQ(child.exitStatus, 0);
  std::vector<std::string> rotated = RotatedFiles(dir.path(), "korvanet.log");
  ASSERT_EQ(rotated.size(), 1u);
  std::string old = ReadLogText(rotated[0]);
  EXPECT_TRUE(HasLine(LogMessages(old), "in the first file"));
  EXPECT_EQ(old.find("after the"), std::string::npos) << "the rotated file was replaced";
  std::string current = ReadLogText(path);
  std::vector<std::string> messages = LogMessages(current);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "log rotate failed"), 2);  // stdout and stderr
  EXPECT_EQ(messages.back(), "after the failed rotation");
  EXPECT_NE(current.find("after the first rotation"), std::string::npos);
}

struct LogFileCase {
  const char* name;
  std::string path;                     // given to SetLogFile, from inside the work directory
  std::vector<std::string> files;       // what the work directory holds afterwards
  std::string stderrStart;              // what the child's own standard error begins with
};

TEST(LogFile, SetLogFilePaths) {
  const std::vector<LogFileCase> cases = {
      {"empty path", "", {}, ""},
      {"relative path", "relative.log", {"relative.log"}, "stdout redirected to file\n: "},
      {"missing directory", "/no-such-directory-korvanet/x.log", {}, "freopen(stdout) failed\n: No such file"},
  };
  for (const LogFileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string work = dir.File("work");
    std::filesystem::create_directory(work);
    ChildRun child = RunInChild(dir.path(), [&] {
      if (::chdir(work.c_str()) != 0) return 1;
      SetLogFile(c.path);
      Log("next\n");
      return 0;
    });
    ASSERT_EQ(child.exitStatus, 0) << child.signal;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(work)) files.push_back(entry.path().filename());
    EXPECT_EQ(files, c.files);
    EXPECT_EQ(child.out, "");
    if (c.path.empty()) {
      EXPECT_EQ(LogMessages(child.err), (std::vector<std::string>{"using standart error and info output", "next"}));
    } else {
      EXPECT_EQ(child.err.substr(0, c.stderrStart.size()), c.stderrStart) << child.err;
    }
    if (!c.files.empty()) {
      std::vector<std::string> messages = LogMessages(ReadFileText(work + "/" + c.files[0]));
      ASSERT_GE(messages.size(), 4u);
      EXPECT_EQ(messages[0], "stderr redirected to file");
      EXPECT_EQ(std::vector<std::string>(messages.end() - 2, messages.end()),
                (std::vector<std::string>{"using standart error and info output", "next"}));
    }
  }
}

// Several threads log lines of very different lengths; every line must come
// out whole and once, in each thread's own order, also when one of the calls
// rotates the log file under the others.
TEST(LogThreads, LinesNeverMix) {
  constexpr int THREADS = 4, LINES = 300;
  for (bool rotating : {false, true}) {
    SCOPED_TRACE(rotating ? "log file rotated during the burst" : "standard error");
    TempDir dir;
    std::string path = dir.File("korvanet.log");
    ChildRun child = RunInChild(dir.path(), [&] {
      if (rotating) {
        SetLogFile(path);
        if (::truncate(path.c_str(), LOG_ROTATION_SIZE_BYTES + 1) != 0) return 1;
      }
      std::vector<std::thread> threads;
      for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([t] {
          for (int n = 0; n < LINES; ++n)
            Log("T%d N%d %s\n", t, n, std::string((n * 7919 + t * 104729) % 12000, static_cast<char>('a' + t)).c_str());
        });
      for (std::thread& thread : threads) thread.join();
      return 0;
    });
    ASSERT_FALSE(child.timedOut) << "deadlock";
    ASSERT_EQ(child.exitStatus, 0);
    std::string text = child.err;
    if (rotating) {
      std::vector<std::string> rotated = RotatedFiles(dir.path(), "korvanet.log");
      ASSERT_EQ(rotated.size(), 1u);
      text = ReadLogText(rotated[0]) + ReadLogText(path);
    }
    std::vector<int> nextLine(THREADS, 0);
    for (const std::string& line : SplitLines(text)) {
      LogLine parsed = ParseLogLine(line);
      int t = 0, n = 0, payloadAt = 0;
      if (!parsed.valid || std::sscanf(parsed.message.c_str(), "T%d N%d %n", &t, &n, &payloadAt) != 2) continue;
      ASSERT_TRUE(t >= 0 && t < THREADS) << line.substr(0, 80);
      EXPECT_EQ(n, nextLine[t]) << "thread " << t;
      EXPECT_EQ(parsed.message.substr(payloadAt),
                std::string((n * 7919 + t * 104729) % 12000, static_cast<char>('a' + t)))
          << line.substr(0, 80);
      nextLine[t] = n + 1;
    }
    EXPECT_EQ(nextLine, std::vector<int>(THREADS, LINES));
  }
}

}  // namespace
