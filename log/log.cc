#include "log/log.h"

#include <sys/stat.h>
#include <unistd.h>

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
    if (std::freopen(path.c_str(), "a", stderr))
      std::perror("stderr redirected to file\n");
    else
      std::perror("freopen(stderr) failed\n");
  }
  Log("using standart error and info output\n");
}

void Log(const char* format, ...) {
  CheckLogRotation();
  int64_t nowMicros = SystemClockMicros();
  long milliseconds = static_cast<long>((nowMicros / 1000) % 1000);

  char message[LOG_MESSAGE_BUFFER_BYTES];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);

  std::string timestamp = LocalTimeText("%d-%m-%Y %X ");
  std::fprintf(stderr, "%s.%li: %s", timestamp.c_str(), milliseconds, message);
}
