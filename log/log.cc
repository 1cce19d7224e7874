#include "log/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "log/clock.h"

namespace {

// The log file path: empty means no log file. Written only by SetLogFile;
// never cleared once set. Never destroyed, so threads still logging while the
// process exits do not race with its destruction.
std::string& LogFilePath() {
  static std::string* path = new std::string();
  return *path;
}

// GUARDS the size check and the rotation (only while a log file is set).
std::mutex& LogLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

// Set while this thread rotates: the Log call that SetLogFile makes at the
// end of a rotation must neither wait for the lock its own thread holds nor
// rotate again (the fresh file is far below the threshold).
thread_local bool rotatingOnThisThread = false;

void WriteBoth(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  std::fputs(text, stderr);
}

void RotateLogFile(const std::string& path) {
  WriteBoth("Log exceeds the maximum size of 25Mb.\n");
  // Both streams are reopened on the fresh file below; freopen closes them
  // first. Writes of other threads that slip in before are in the old file.
  std::fflush(stdout);
  std::fflush(stderr);
  std::string rotatedName = path + "." + LocalTimeText("%d%m%Y%H%M");
  // rename() would silently replace an existing file; link + unlink refuses.
  bool renamed = ::link(path.c_str(), rotatedName.c_str()) == 0 && ::unlink(path.c_str()) == 0;
  SetLogFile(path);
  if (!renamed) WriteBoth("log rotate failed\n");
  WriteBoth("Log rotate from here\n");
}

}  // namespace

bool IsLogPathUsable(const std::string& path) {
  bool hasRootDirectory = !path.empty() && (path[0] == '/' || path[0] == '\\');
  if (!hasRootDirectory) return true;
  struct stat info {};
  return ::stat("/", &info) == 0 && S_ISDIR(info.st_mode);
}

void CheckLogRotation() {
  if (rotatingOnThisThread) return;
  const std::string& path = LogFilePath();
  if (path.empty()) return;
  if (!IsLogPathUsable(path)) return;
  std::lock_guard<std::mutex> guard(LogLock());
  struct stat info {};
  // A file that cannot be measured (removed behind our back) is not rotated;
  // the line is still written.
  if (::stat(path.c_str(), &info) != 0) return;
  if (info.st_size <= LOG_ROTATION_SIZE_BYTES) return;
  rotatingOnThisThread = true;
  RotateLogFile(path);
  rotatingOnThisThread = false;
}

void SetLogFile(std::string path) {
  if (!path.empty() && IsLogPathUsable(path)) {
    // A rotation reopens on the same path; leave it untouched then, as other
    // threads read it without the lock.
    if (LogFilePath() != path) LogFilePath() = path;
    if (std::freopen(path.c_str(), "a", stdout))
      std::perror("stdout redirected to file\n");
    else
      std::perror("freopen(stdout) failed\n");
    if (std::freopen(path.c_str(), "a", stderr)) {
      // freopen leaves a file stream fully buffered; standard error must stay
      // unbuffered, or log lines would sit in memory: the size check would
      // measure a stale file and a crash would lose the last lines.
      std::setvbuf(stderr, nullptr, _IONBF, 0);
      std::perror("stderr redirected to file\n");
    } else
      std::perror("freopen(stderr) failed\n");
  }
  Log("using standart error and info output\n");
}

void Log(const char* format, ...) {
  CheckLogRotation();
  int64_t nowMicros = SystemClockMicros();
  long milliseconds = static_cast<long>((nowMicros / 1000) % 1000);
  std::string timestamp = LocalTimeText("%d-%m-%Y %X ");

  // The whole line is built here and leaves in one locked fwrite, so lines of
  // different threads never mix. fprintf on unbuffered standard error does not
  // give that: glibc passes a long message through an 8 KiB helper buffer
  // whose overflow reaches the stream without the stream lock.
  constexpr size_t PREFIX_BYTES = 32;  // "dd-mm-yyyy hh:mm:ss .999: "
  char line[PREFIX_BYTES + LOG_MESSAGE_BUFFER_BYTES];
  int prefixLength = std::snprintf(line, PREFIX_BYTES, "%s.%li: ", timestamp.c_str(), milliseconds);
  size_t length = std::min(static_cast<size_t>(std::max(prefixLength, 0)), PREFIX_BYTES - 1);

  va_list arguments;
  va_start(arguments, format);
  int messageLength = std::vsnprintf(line + length, LOG_MESSAGE_BUFFER_BYTES, format, arguments);
  va_end(arguments);
  // A longer message is cut to the buffer less its terminating NUL.
  if (messageLength > 0) length += std::min(static_cast<size_t>(messageLength), LOG_MESSAGE_BUFFER_BYTES - 1);
  std::fwrite(line, 1, length, stderr);
}
