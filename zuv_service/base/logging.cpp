// logging.cpp: NLog-style configuration and printf-shaped calls over spdlog.
//
// Each of the three loggers owns one route sink whose children are per-rule
// level filters over the shared target sinks. Reconfiguring swaps the
// children under the route sink's lock, so loggers never change and the
// level check on the hot path is one atomic load. The file and console
// targets build each line before taking their lock.
#include "base/logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include <pugixml.hpp>
#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <thread>

#include "base/logging_internal.h"
#include "base/thread_annotations.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;
using spdlog::level::level_enum;

constexpr const char* kLoggerNames[] = {"ZUV", "TLOG", "DETAILTLOG"};
constexpr int kLoggerCount = 3;

level_enum ToSpd(LogLevel level) {
  switch (level) {
    case LogLevel::Trace: return spdlog::level::trace;
    case LogLevel::Debug: return spdlog::level::debug;
    case LogLevel::Info: return spdlog::level::info;
    case LogLevel::Warn: return spdlog::level::warn;
    case LogLevel::Error: return spdlog::level::err;
    case LogLevel::Fatal: return spdlog::level::critical;
    case LogLevel::Off: break;
  }
  return spdlog::level::off;
}

const char* NLogLevelName(level_enum level) {
  switch (level) {
    case spdlog::level::trace: return "Trace";
    case spdlog::level::debug: return "Debug";
    case spdlog::level::info: return "Info";
    case spdlog::level::warn: return "Warn";
    case spdlog::level::err: return "Error";
    case spdlog::level::critical: return "Fatal";
    default: return "Off";
  }
}

// NLog level names are matched ignoring case ("Info", "error").
bool ParseNLogLevel(std::string text, level_enum* out) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  static const std::pair<const char*, level_enum> kNames[] = {
      {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},   {"warn", spdlog::level::warn},
      {"error", spdlog::level::err},   {"fatal", spdlog::level::critical},
      {"off", spdlog::level::off}};
  for (const auto& [name, level] : kNames) {
    if (text == name) {
      *out = level;
      return true;
    }
  }
  return false;
}

// ${level}: NLog's level names instead of spdlog's.
class LevelFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    const char* name = NLogLevelName(msg.level);
    dest.append(name, name + std::strlen(name));
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<LevelFlag>();
  }
};

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof(buf) - 1) != 0) return "localhost";
  return buf;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

std::string ShortDate(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof(buf), "%Y-%m-%d", &tm);
  return buf;
}

// Expands the layout renderers that do not change per line.
std::string ExpandStatic(const std::string& text, const std::string& base_dir) {
  return ReplaceAll(ReplaceAll(text, "${basedir}", base_dir), "${machinename}", HostName());
}

// The layout renderers the service knows, in the order they are tried.
enum class Renderer { kText, kDate, kLongDate, kShortDate, kLevel, kMessage, kLogger,
                      kThreadId, kProcessId };

struct LayoutPiece {
  Renderer renderer;
  std::string text;  // kText only
};

// Splits an expanded NLog layout into literal text and renderers. An unknown
// ${...} stays literal text.
std::vector<LayoutPiece> ParseLayout(const std::string& text) {
  static const std::pair<const char*, Renderer> kRenderers[] = {
      {"${date}", Renderer::kDate},         {"${longdate}", Renderer::kLongDate},
      {"${shortdate}", Renderer::kShortDate}, {"${level}", Renderer::kLevel},
      {"${message}", Renderer::kMessage},   {"${logger}", Renderer::kLogger},
      {"${threadid}", Renderer::kThreadId}, {"${processid}", Renderer::kProcessId}};
  std::vector<LayoutPiece> pieces;
  for (size_t i = 0; i < text.size();) {
    bool matched = false;
    for (const auto& [name, renderer] : kRenderers) {
      size_t len = std::strlen(name);
      if (text.compare(i, len, name) == 0) {
        pieces.push_back({renderer, {}});
        i += len;
        matched = true;
        break;
      }
    }
    if (matched) continue;
    if (pieces.empty() || pieces.back().renderer != Renderer::kText) {
      pieces.push_back({Renderer::kText, {}});
    }
    pieces.back().text += text[i++];
  }
  return pieces;
}

// Turns an NLog layout into an spdlog pattern ('*' is the level flag), for
// sinks that format with spdlog.
std::unique_ptr<spdlog::formatter> MakeFormatter(const std::string& layout,
                                                 const std::string& base_dir) {
  std::string pattern;
  for (const LayoutPiece& piece : ParseLayout(ExpandStatic(layout, base_dir))) {
    switch (piece.renderer) {
      case Renderer::kText:
        for (char c : piece.text) {
          if (c == '%') pattern += '%';
          pattern += c;
        }
        break;
      case Renderer::kDate: pattern += "%Y/%m/%d %H:%M:%S.%e"; break;
      case Renderer::kLongDate: pattern += "%Y-%m-%d %H:%M:%S.%f"; break;
      case Renderer::kShortDate: pattern += "%Y-%m-%d"; break;
      case Renderer::kLevel: pattern += "%*"; break;
      case Renderer::kMessage: pattern += "%v"; break;
      case Renderer::kLogger: pattern += "%n"; break;
      case Renderer::kThreadId: pattern += "%t"; break;
      case Renderer::kProcessId: pattern += "%P"; break;
    }
  }
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<LevelFlag>('*').set_pattern(pattern);
  return formatter;
}

// The local-time fields of one second. Each thread keeps the second it last
// logged, so localtime_r runs once per second and thread, not per line.
struct LocalSecond {
  int64_t seconds = INT64_MIN;
  char date[19];      // yyyy/MM/dd HH:mm:ss
  char long_date[19];  // yyyy-MM-dd HH:mm:ss
  std::string_view Day() const { return {long_date, 10}; }  // yyyy-MM-dd
};

void PutDigits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

const LocalSecond& LocalSecondOf(int64_t seconds) {
  thread_local LocalSecond cached;
  if (cached.seconds == seconds) return cached;
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char* d = cached.date;
  PutDigits(d, (tm.tm_year + 1900) % 10000, 4);
  d[4] = '/';
  PutDigits(d + 5, tm.tm_mon + 1, 2);
  d[7] = '/';
  PutDigits(d + 8, tm.tm_mday, 2);
  d[10] = ' ';
  PutDigits(d + 11, tm.tm_hour, 2);
  d[13] = ':';
  PutDigits(d + 14, tm.tm_min, 2);
  d[16] = ':';
  PutDigits(d + 17, tm.tm_sec, 2);
  std::memcpy(cached.long_date, cached.date, sizeof(cached.date));
  cached.long_date[4] = '-';
  cached.long_date[7] = '-';
  cached.seconds = seconds;
  return cached;
}

// A line under construction; most lines fit on the stack.
using LineBuffer = fmt::basic_memory_buffer<char, 1024>;

void Append(LineBuffer* out, const char* data, size_t size) { out->append(data, data + size); }
void Append(LineBuffer* out, std::string_view text) { Append(out, text.data(), text.size()); }

void AppendNumber(LineBuffer* out, uint64_t value) {
  char buf[20];
  char* end = buf + sizeof(buf);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out->append(p, end);
}

// '.' and the part of since_epoch past its whole second secs, in Unit,
// kDigits wide.
template <typename Unit, int kDigits, typename Duration>
void AppendFraction(LineBuffer* out, Duration since_epoch, std::chrono::seconds secs) {
  char frac[kDigits + 1];
  frac[0] = '.';
  const auto part = std::chrono::duration_cast<Unit>(since_epoch) - std::chrono::duration_cast<Unit>(secs);
  PutDigits(frac + 1, static_cast<int>(part.count()), kDigits);
  Append(out, frac, sizeof(frac));
}

// A layout compiled for the service's own sinks, which build each line
// before they take their lock. Writes what MakeFormatter's pattern writes.
class LineLayout {
 public:
  explicit LineLayout(const std::string& expanded) : pieces_(ParseLayout(expanded)) {}

  // Appends the line and its newline to *out; returns the line's second.
  const LocalSecond& Format(const spdlog::details::log_msg& msg, LineBuffer* out) const {
    using namespace std::chrono;
    const auto since_epoch = msg.time.time_since_epoch();
    const auto secs = duration_cast<seconds>(since_epoch);
    const LocalSecond& local = LocalSecondOf(secs.count());
    for (const LayoutPiece& piece : pieces_) {
      switch (piece.renderer) {
        case Renderer::kText: Append(out, piece.text); break;
        case Renderer::kDate:
          Append(out, local.date, sizeof(local.date));
          AppendFraction<milliseconds, 3>(out, since_epoch, secs);
          break;
        case Renderer::kLongDate:
          Append(out, local.long_date, sizeof(local.long_date));
          AppendFraction<microseconds, 6>(out, since_epoch, secs);
          break;
        case Renderer::kShortDate: Append(out, local.Day()); break;
        case Renderer::kLevel: Append(out, NLogLevelName(msg.level)); break;
        case Renderer::kMessage: Append(out, msg.payload.data(), msg.payload.size()); break;
        case Renderer::kLogger: Append(out, msg.logger_name.data(), msg.logger_name.size()); break;
        case Renderer::kThreadId: AppendNumber(out, msg.thread_id); break;
        case Renderer::kProcessId: AppendNumber(out, static_cast<uint64_t>(::getpid())); break;
      }
    }
    out->push_back('\n');
    return local;
  }

 private:
  const std::vector<LayoutPiece> pieces_;
};

// Holds a sink's mutex, spinning a little before it sleeps: the lock covers
// only the copy of one line, much shorter than a sleep and a wake-up.
class ZUV_SCOPED_CAPABILITY SinkLock {
 public:
  explicit SinkLock(Mutex& mu) ZUV_ACQUIRE(mu) ZUV_NO_THREAD_SAFETY_ANALYSIS : mu_(mu) {
    for (int i = 0; i < kSpins; ++i) {
      if (mu_.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    mu_.lock();
  }
  ~SinkLock() ZUV_RELEASE() { mu_.unlock(); }
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;

 private:
  static constexpr int kSpins = 100;
  Mutex& mu_;
};

// Fields written by every line keep to their own cache lines.
constexpr size_t kCacheLine = 64;

// Bytes a sink collects before they go out in one write().
constexpr size_t kLogFileBufferBytes = 64 * 1024;

// Writes all of data to fd; a failing or closed target loses the rest.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Base of the service's own sinks. A line is built on the calling thread's
// stack, and mu_ covers only copying its bytes into the buffer. Full buffers
// queue up and go out under io_mu_ with mu_ released, so other threads keep
// adding lines during the write(); the queue keeps the order of the bytes.
// Lock order: io_mu_, then mu_.
class BufferedLineSink : public spdlog::sinks::sink {
 public:
  explicit BufferedLineSink(const std::string& expanded_layout) : layout_(expanded_layout) {}

  void log(const spdlog::details::log_msg& msg) final {
    LineBuffer line;
    const std::string_view day = layout_.Format(msg, &line).Day();
    const std::string_view text(line.data(), line.size());
    bool full = false;
    bool reopen = false;
    {
      SinkLock lock(mu_);
      reopen = NeedsReopen(text.size(), day);
      if (!reopen) full = Add(text);
    }
    if (reopen) {
      // The buffered bytes go to the old target first.
      MutexLock io(io_mu_);
      SinkLock lock(mu_);
      if (NeedsReopen(text.size(), day)) {
        WritePending();
        Reopen(text.size(), day);
      }
      full = Add(text);
    }
    if (full) WriteQueued();
  }
  void flush() final {
    MutexLock io(io_mu_);
    std::vector<std::string> queued;
    std::string pending;
    {
      SinkLock lock(mu_);
      queued.swap(queued_);
      pending.swap(buf_);
    }
    for (const std::string& bytes : queued) Out(bytes);
    if (!pending.empty()) Out(pending);
  }
  // The layout is fixed at construction.
  void set_pattern(const std::string&) final {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) final {}

 protected:
  // True when the line cannot go into the current target (none open yet, a
  // new day, the size limit).
  virtual bool NeedsReopen(size_t bytes, std::string_view day) ZUV_REQUIRES(mu_) = 0;
  // Makes the target for a line of bytes, the old one's bytes written.
  virtual void Reopen(size_t bytes, std::string_view day) ZUV_REQUIRES(io_mu_, mu_) = 0;
  // False drops lines (a file that cannot be opened).
  virtual bool Accepts() ZUV_REQUIRES(mu_) = 0;
  // Counts bytes taken for the target.
  virtual void Taken(size_t bytes) ZUV_REQUIRES(mu_) = 0;
  // Writes bytes to the target.
  virtual void Out(std::string_view bytes) ZUV_REQUIRES(io_mu_) = 0;

  // Writes out everything held; for Reopen and the destructor.
  void WritePending() ZUV_REQUIRES(io_mu_, mu_) {
    for (const std::string& bytes : queued_) Out(bytes);
    queued_.clear();
    if (!buf_.empty()) Out(buf_);
    buf_.clear();
  }

  // Apart from the read-mostly fields before them: every line writes these.
  alignas(kCacheLine) Mutex io_mu_;
  alignas(kCacheLine) Mutex mu_;

 private:
  // Appends the line when the target takes it; true when a buffer is full.
  bool Add(std::string_view text) ZUV_REQUIRES(mu_) {
    if (!Accepts()) return false;
    buf_.append(text);
    Taken(text.size());
    if (buf_.size() < kLogFileBufferBytes) return false;
    queued_.push_back(std::move(buf_));
    buf_ = std::string();
    buf_.reserve(kLogFileBufferBytes + 1024);
    return true;
  }
  // Writes the full buffers, in the order they were queued.
  void WriteQueued() {
    MutexLock io(io_mu_);
    std::vector<std::string> queued;
    {
      SinkLock lock(mu_);
      queued.swap(queued_);
    }
    for (const std::string& bytes : queued) Out(bytes);
  }

  const LineLayout layout_;
  alignas(kCacheLine) std::string buf_ ZUV_GUARDED_BY(mu_);
  std::vector<std::string> queued_ ZUV_GUARDED_BY(mu_);
};

// The File target: one current file, archived when it passes a size or the
// day changes. Archive names replace {#} with the archive number; "Rolling"
// numbering keeps the newest archive at 0. The file stays open between lines
// (cheaper than NLog's keepFileOpen=false; one process writes it). Text is
// written as the service's 8-bit strings stand.
class NLogFileSink : public BufferedLineSink {
 public:
  NLogFileSink(const std::string& layout, std::string file_name, std::string archive_name,
               uint64_t archive_above, bool daily, int max_archives, bool rolling)
      : BufferedLineSink(layout),
        file_name_(std::move(file_name)),
        archive_name_(std::move(archive_name)),
        archive_above_(archive_above),
        daily_(daily),
        max_archives_(max_archives),
        rolling_(rolling) {}
  ~NLogFileSink() override {
    MutexLock io(io_mu_);
    SinkLock lock(mu_);
    WritePending();
    Close();
  }

 protected:
  bool NeedsReopen(size_t bytes, std::string_view day) override ZUV_REQUIRES(mu_) {
    return !open_ || (daily_ && day != day_) ||
           (archive_above_ > 0 && size_ + bytes > archive_above_ && size_ > 0);
  }
  void Reopen(size_t bytes, std::string_view day) override ZUV_REQUIRES(io_mu_, mu_) {
    if (!open_) Open(day);
    if (open_ && ((daily_ && day != day_) ||
                  (archive_above_ > 0 && size_ + bytes > archive_above_ && size_ > 0))) {
      Archive();
      Open(day);
    }
  }
  bool Accepts() override ZUV_REQUIRES(mu_) { return open_; }
  void Taken(size_t bytes) override ZUV_REQUIRES(mu_) { size_ += bytes; }
  void Out(std::string_view bytes) override ZUV_REQUIRES(io_mu_) {
    if (fd_ >= 0) WriteAll(fd_, bytes.data(), bytes.size());
  }

 private:
  std::string CurrentPath(const std::string& day) const {
    return ReplaceAll(file_name_, "${shortdate}", day);
  }
  // Opens a log file for appending, created with mode 0640: logs hold
  // mailbox names and request texts.
  void OpenFile() ZUV_REQUIRES(io_mu_, mu_) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    open_ = fd_ >= 0;
  }
  void Close() ZUV_REQUIRES(io_mu_, mu_) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    open_ = false;
  }
  void Open(std::string_view day_view) ZUV_REQUIRES(io_mu_, mu_) {
    const std::string day(day_view);
    day_ = day;
    path_ = CurrentPath(day);
    std::error_code ec;
    fs::create_directories(fs::path(path_).parent_path(), ec);
    OpenFile();
    if (!open_) return;
    struct stat st {};
    size_ = ::fstat(fd_, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    // A file left from an earlier day is archived before today's first line.
    if (daily_ && size_ > 0) {
      if (::stat(path_.c_str(), &st) == 0) {
        std::string file_day = ShortDate(st.st_mtime);
        if (file_day != day) {
          day_ = file_day;
          Archive();
          day_ = day;
          OpenFile();
          size_ = 0;
        }
      }
    }
  }
  std::string ArchivePath(int number) const ZUV_REQUIRES(mu_) {
    std::string name = ReplaceAll(archive_name_, "${shortdate}", day_);
    return ReplaceAll(name, "{#}", std::to_string(number));
  }
  void Archive() ZUV_REQUIRES(io_mu_, mu_) {
    Close();
    std::error_code ec;
    if (archive_name_.empty()) {
      fs::remove(path_, ec);
      return;
    }
    int number = 0;
    if (rolling_) {
      // Shift older archives up; the last one falls off.
      if (max_archives_ > 0) fs::remove(ArchivePath(max_archives_ - 1), ec);
      for (int i = max_archives_ - 2; i >= 0; --i) {
        if (fs::exists(ArchivePath(i), ec)) fs::rename(ArchivePath(i), ArchivePath(i + 1), ec);
      }
    } else {
      while (fs::exists(ArchivePath(number), ec)) ++number;
    }
    fs::create_directories(fs::path(ArchivePath(number)).parent_path(), ec);
    fs::rename(path_, ArchivePath(number), ec);
    if (ec) fs::remove(path_, ec);
  }

  const std::string file_name_;
  const std::string archive_name_;
  const uint64_t archive_above_;
  const bool daily_;
  const int max_archives_;
  const bool rolling_;
  int fd_ ZUV_GUARDED_BY(io_mu_) = -1;
  bool open_ ZUV_GUARDED_BY(mu_) = false;  // fd_ is open
  std::string path_ ZUV_GUARDED_BY(mu_);
  std::string day_ ZUV_GUARDED_BY(mu_);
  uint64_t size_ ZUV_GUARDED_BY(mu_) = 0;
};

// The EventLog target as syslog. openlog keeps the ident pointer, so idents
// live for the whole process.
class SyslogSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit SyslogSink(const std::string& ident) {
    static Mutex idents_mu;
    static std::set<std::string> idents ZUV_GUARDED_BY(idents_mu);
    MutexLock lock(idents_mu);
    ident_ = idents.insert(ident).first->c_str();
    ::openlog(ident_, LOG_PID, LOG_DAEMON);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t buf;
    formatter_->format(msg, buf);
    size_t len = buf.size();
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) --len;
    int priority = LOG_INFO;
    switch (msg.level) {
      case spdlog::level::trace:
      case spdlog::level::debug: priority = LOG_DEBUG; break;
      case spdlog::level::info: priority = LOG_INFO; break;
      case spdlog::level::warn: priority = LOG_WARNING; break;
      case spdlog::level::err: priority = LOG_ERR; break;
      case spdlog::level::critical: priority = LOG_CRIT; break;
      default: break;
    }
    ::syslog(priority, "%.*s", static_cast<int>(len), buf.data());
  }
  void flush_() override {}

 private:
  const char* ident_;
};

// The console target when stdout is not a terminal: lines collect in a
// buffer and reach stdout in one write() per flush (spdlog's own console
// sinks flush every line). A terminal keeps the colour sink.
class BufferedStdoutSink : public BufferedLineSink {
 public:
  explicit BufferedStdoutSink(const std::string& layout) : BufferedLineSink(layout) {}

 protected:
  bool NeedsReopen(size_t, std::string_view) override ZUV_REQUIRES(mu_) { return false; }
  void Reopen(size_t, std::string_view) override ZUV_REQUIRES(io_mu_, mu_) {}
  bool Accepts() override ZUV_REQUIRES(mu_) { return true; }
  void Taken(size_t) override ZUV_REQUIRES(mu_) {}
  void Out(std::string_view bytes) override ZUV_REQUIRES(io_mu_) {
    std::fflush(stdout);  // anything printed directly stays in order
    WriteAll(STDOUT_FILENO, bytes.data(), bytes.size());
  }
};

// One rule's view of a target: its own minimum level over a shared sink.
class RuleSink : public spdlog::sinks::sink {
 public:
  RuleSink(std::shared_ptr<spdlog::sinks::sink> target, level_enum min, level_enum max)
      : target_(std::move(target)), max_(max) {
    set_level(min);
  }
  void log(const spdlog::details::log_msg& msg) override {
    if (msg.level <= max_) target_->log(msg);
  }
  void flush() override { target_->flush(); }
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

 private:
  std::shared_ptr<spdlog::sinks::sink> target_;
  const level_enum max_;
};

// A logger's one sink: the rule sinks of the current configuration, which a
// reconfiguration replaces as a whole. Lines hold the lock shared, so threads
// logging at once do not wait for each other here.
class RouteSink : public spdlog::sinks::sink {
 public:
  void SetSinks(std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks) {
    {
      WriterLock lock(mu_);
      sinks_.swap(sinks);
    }
    // The old sinks close outside the lock.
  }
  void log(const spdlog::details::log_msg& msg) override {
    ReaderLock lock(mu_);
    for (const auto& sink : sinks_) {
      if (sink->should_log(msg.level)) sink->log(msg);
    }
  }
  void flush() override {
    ReaderLock lock(mu_);
    for (const auto& sink : sinks_) sink->flush();
  }
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

 private:
  // Every line writes the lock; the level and the list stay on other lines.
  alignas(kCacheLine) SharedMutex mu_;
  alignas(kCacheLine) std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks_ ZUV_GUARDED_BY(mu_);
};

// Milliseconds between the flushes of buffered lines; 0 flushes every line.
std::atomic<int64_t> g_flush_interval_ms{0};

level_enum FlushLevel() {
  return g_flush_interval_ms.load() == 0 ? spdlog::level::trace : spdlog::level::err;
}

// The flush thread: started by the first non-zero interval, owned by the
// logging module, runs until the process ends (it holds no resource a
// process exit would miss; FlushLogs at stop writes the rest).
struct LogFlusher {
  Mutex mu;
  CondVar cv;
  bool started ZUV_GUARDED_BY(mu) = false;
};

LogFlusher& Flusher() {
  static LogFlusher* flusher = new LogFlusher;  // threads may log at exit
  return *flusher;
}

void FlusherLoop() {
  LogFlusher& f = Flusher();
  for (;;) {
    {
      MutexLock lock(f.mu);
      const int64_t ms = g_flush_interval_ms.load();
      if (ms == 0) {
        f.cv.Wait(f.mu);
      } else {
        f.cv.WaitFor(f.mu, std::chrono::milliseconds(ms));
      }
    }
    FlushLogs();
  }
}

struct Loggers {
  std::shared_ptr<RouteSink> dist[kLoggerCount];
  std::shared_ptr<spdlog::logger> logger[kLoggerCount];
};

Mutex g_factory_mu;
EventLogSinkFactory g_event_log_factory ZUV_GUARDED_BY(g_factory_mu);

std::shared_ptr<spdlog::sinks::sink> DefaultSink() {
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  sink->set_formatter(MakeFormatter("${date}::${level}::${message}", "."));
  return sink;
}

// Created on first use; before any configuration lines go to stderr from
// info up.
Loggers& TheLoggers() {
  static Loggers* loggers = [] {
    auto* l = new Loggers;  // lives for the process: threads may log at exit
    auto fallback = DefaultSink();
    for (int i = 0; i < kLoggerCount; ++i) {
      l->dist[i] = std::make_shared<RouteSink>();
      l->dist[i]->SetSinks({fallback});
      l->logger[i] = std::make_shared<spdlog::logger>(kLoggerNames[i], l->dist[i]);
      l->logger[i]->set_level(spdlog::level::info);
      l->logger[i]->flush_on(spdlog::level::info);
    }
    return l;
  }();
  return *loggers;
}

int LoggerIndex(const char* name) {
  if (name != nullptr) {
    for (int i = 0; i < kLoggerCount; ++i) {
      if (std::strcmp(name, kLoggerNames[i]) == 0) return i;
    }
  }
  return 0;  // unknown loggers write as "ZUV"
}

// NLog logger-name patterns: '*' and '?' wildcards.
bool NameMatches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    return NameMatches(pattern + 1, name) || (*name != '\0' && NameMatches(pattern, name + 1));
  }
  if (*name != '\0' && (*pattern == '?' || *pattern == *name)) {
    return NameMatches(pattern + 1, name + 1);
  }
  return false;
}

std::string Attr(const pugi::xml_node& node, const char* name) {
  return node.attribute(name).as_string();
}

uint32_t BuildTarget(const pugi::xml_node& node, const std::string& base_dir,
                     std::shared_ptr<spdlog::sinks::sink>* out, std::string* err) {
  std::string type = Attr(node, "xsi:type");
  if (type.empty()) type = Attr(node, "type");
  std::string layout = Attr(node, "layout");
  if (layout.empty()) layout = "${longdate}|${level}|${logger}|${message}";
  std::shared_ptr<spdlog::sinks::sink> sink;
  if (type == "File") {
    std::string file_name = ExpandStatic(Attr(node, "fileName"), base_dir);
    if (file_name.empty()) {
      *err = "File target '" + Attr(node, "name") + "' has no fileName";
      return 1;
    }
    std::string archive = ExpandStatic(Attr(node, "archiveFileName"), base_dir);
    uint64_t above = node.attribute("archiveAboveSize").as_ullong(0);
    bool daily = Attr(node, "archiveEvery") == "Day";
    int max_archives = node.attribute("maxArchiveFiles").as_int(0);
    bool rolling = Attr(node, "archiveNumbering") == "Rolling";
    sink = std::make_shared<NLogFileSink>(ExpandStatic(layout, base_dir), file_name, archive,
                                          above, daily, max_archives, rolling);
  } else if (type == "ColoredConsole" || type == "Console") {
    if (::isatty(STDOUT_FILENO) != 0) {
      sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
    } else {
      sink = std::make_shared<BufferedStdoutSink>(ExpandStatic(layout, base_dir));
    }
  } else if (type == "EventLog") {
    std::string source = Attr(node, "source");
    if (source.empty()) source = "ZUV_Service";
    MutexLock lock(g_factory_mu);
    sink = g_event_log_factory ? g_event_log_factory(source)
                               : std::make_shared<SyslogSink>(source);
  } else {
    *err = "target '" + Attr(node, "name") + "' has unsupported type '" + type + "'";
    return 1;
  }
  // The service's own sinks took the layout already.
  if (std::dynamic_pointer_cast<BufferedLineSink>(sink) == nullptr) {
    sink->set_formatter(MakeFormatter(layout, base_dir));
  }
  sink->set_level(spdlog::level::trace);
  *out = std::move(sink);
  return 0;
}

}  // namespace

void SetEventLogSinkFactoryForTest(EventLogSinkFactory factory) {
  MutexLock lock(g_factory_mu);
  g_event_log_factory = std::move(factory);
}

std::string FormatLogLineForTest(const std::string& layout, LogLevel level, const char* logger,
                                 std::chrono::system_clock::time_point time, const char* text) {
  spdlog::details::log_msg msg(time, spdlog::source_loc{}, logger, ToSpd(level), text);
  msg.thread_id = spdlog::details::os::thread_id();
  LineBuffer line;
  LineLayout(ExpandStatic(layout, ".")).Format(msg, &line);
  return std::string(line.data(), line.size());
}

uint32_t ConfigureLoggingFromFile(const std::string& path, const std::string& base_dir,
                                  std::string* err) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (!parsed) {
    *err = path + ": " + parsed.description();
    return 1;
  }
  pugi::xml_node root = doc.child("nlog");
  if (!root) {
    *err = path + ": no nlog element";
    return 1;
  }
  std::map<std::string, std::shared_ptr<spdlog::sinks::sink>> targets;
  try {
    for (pugi::xml_node node : root.child("targets").children("target")) {
      std::shared_ptr<spdlog::sinks::sink> sink;
      if (BuildTarget(node, base_dir, &sink, err) != 0) return 1;
      targets[Attr(node, "name")] = std::move(sink);
    }
  } catch (const std::exception& e) {
    *err = path + ": " + e.what();
    return 1;
  }

  std::vector<std::shared_ptr<spdlog::sinks::sink>> per_logger[kLoggerCount];
  level_enum min_level[kLoggerCount];
  std::fill(std::begin(min_level), std::end(min_level), spdlog::level::off);
  bool done[kLoggerCount] = {};
  for (pugi::xml_node rule : root.child("rules").children("logger")) {
    std::string pattern = Attr(rule, "name");
    level_enum min = spdlog::level::trace;
    level_enum max = spdlog::level::critical;
    std::string level_text = Attr(rule, "level");
    if (!level_text.empty()) {
      if (!ParseNLogLevel(level_text, &min)) min = spdlog::level::off;
      max = min;
    } else {
      if (!Attr(rule, "minlevel").empty() && !ParseNLogLevel(Attr(rule, "minlevel"), &min)) {
        min = spdlog::level::off;
      }
      if (!Attr(rule, "maxlevel").empty()) ParseNLogLevel(Attr(rule, "maxlevel"), &max);
    }
    bool final_rule = rule.attribute("final").as_bool(false);
    // writeTo may list several targets separated by commas.
    std::vector<std::shared_ptr<spdlog::sinks::sink>> rule_targets;
    std::string write_to = Attr(rule, "writeTo");
    for (size_t start = 0; start <= write_to.size();) {
      size_t comma = write_to.find(',', start);
      if (comma == std::string::npos) comma = write_to.size();
      std::string name = write_to.substr(start, comma - start);
      name.erase(0, name.find_first_not_of(' '));
      name.erase(name.find_last_not_of(' ') + 1);
      auto it = targets.find(name);
      if (it != targets.end()) rule_targets.push_back(it->second);
      start = comma + 1;
    }
    for (int i = 0; i < kLoggerCount; ++i) {
      if (done[i] || !NameMatches(pattern.c_str(), kLoggerNames[i])) continue;
      for (auto& target : rule_targets) {
        per_logger[i].push_back(std::make_shared<RuleSink>(target, min, max));
        min_level[i] = std::min(min_level[i], min);
      }
      if (final_rule) done[i] = true;
    }
  }

  Loggers& loggers = TheLoggers();
  for (int i = 0; i < kLoggerCount; ++i) {
    loggers.logger[i]->set_level(min_level[i]);
    loggers.dist[i]->SetSinks(std::move(per_logger[i]));
    loggers.logger[i]->flush_on(FlushLevel());
  }
  return 0;
}

std::string LogConfigText(const std::string& log_folder) {
  const std::string& f = log_folder;
  std::string text;
  text += "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n";
  text += "<nlog xmlns=\"http://www.nlog-project.org/schemas/NLog.xsd\"\n";
  text += "      xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n";
  text += "      autoReload=\"true\">\n";
  text += "  <targets>\n";
  text += "    <target name=\"eventLog\" xsi:type=\"EventLog\" source=\"tovanixZUV\" "
          "log=\"tovanix\" layout=\"${date}::${level}::${message}\" />\n";
  text += "    <target name=\"logfile\" xsi:type=\"File\" layout=\"${date}::${level}::${message}\" "
          "fileName=\"" + f + "/ZUV_Service-${machinename}.log\" "
          "archiveFileName=\"" + f + "/ZUV_Service_${machinename}-${shortdate}.{#}.txt\" "
          "archiveEvery=\"Day\" archiveAboveSize=\"10485760\" archiveNumbering=\"Rolling\" "
          "maxArchiveFiles=\"10\" concurrentWrites=\"true\" keepFileOpen=\"false\" "
          "encoding=\"iso-8859-2\" />\n";
  text += "    <target name=\"console\" type=\"ColoredConsole\" "
          "layout=\"${date}::${level}::${message}\" />\n";
  text += "  </targets>\n";
  text += "  <rules>\n";
  text += "    <logger name=\"*\" minlevel=\"Info\" writeTo=\"logfile\" />\n";
  text += "    <logger name=\"*\" minlevel=\"Info\" writeTo=\"console\" />\n";
  text += "    <logger name=\"*\" minlevel=\"error\" writeTo=\"eventLog\" />\n";
  text += "  </rules>\n";
  text += "</nlog>\n";
  return text;
}

uint32_t WriteLogConfigFile(const std::string& path, const std::string& log_folder) {
  std::string text = LogConfigText(log_folder);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 1;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (std::fclose(file) == 0) && ok;
  return ok ? 0 : 1;
}

bool LogEnabled(const char* logger, LogLevel level) {
  return TheLoggers().logger[LoggerIndex(logger)]->should_log(ToSpd(level));
}

void LogLine(const char* logger, LogLevel level, const char* text) {
  auto& l = TheLoggers().logger[LoggerIndex(logger)];
  level_enum spd = ToSpd(level);
  if (!l->should_log(spd)) return;
  try {
    l->log(spd, spdlog::string_view_t(text, std::strlen(text)));
  } catch (...) {
    // A failing sink must not take the calling thread down.
  }
}

void FlushLogs() {
  Loggers& loggers = TheLoggers();
  for (auto& l : loggers.logger) {
    try {
      l->flush();
    } catch (...) {
      // A failing sink must not take the calling thread down.
    }
  }
}

void SetLogFlushInterval(std::chrono::milliseconds interval) {
  const int64_t ms = interval.count() < 0 ? 0 : static_cast<int64_t>(interval.count());
  g_flush_interval_ms.store(ms);
  Loggers& loggers = TheLoggers();
  for (auto& l : loggers.logger) l->flush_on(FlushLevel());
  // Lines held under the old interval must not wait for the new one.
  FlushLogs();
  LogFlusher& f = Flusher();
  bool start = false;
  {
    MutexLock lock(f.mu);
    if (ms > 0 && !f.started) start = f.started = true;
  }
  f.cv.NotifyAll();
  if (start) std::thread(FlusherLoop).detach();
}

std::chrono::milliseconds LogFlushInterval() {
  return std::chrono::milliseconds(g_flush_interval_ms.load());
}

void ResetLoggingForTest() {
  SetLogFlushInterval(std::chrono::milliseconds(0));
  Loggers& loggers = TheLoggers();
  auto fallback = DefaultSink();
  for (int i = 0; i < kLoggerCount; ++i) {
    loggers.dist[i]->SetSinks({fallback});
    loggers.logger[i]->set_level(spdlog::level::info);
  }
}

namespace {

void LogV(const char* logger, LogLevel level, const char* format, va_list args) {
  auto& l = TheLoggers().logger[LoggerIndex(logger)];
  level_enum spd = ToSpd(level);
  if (!l->should_log(spd)) return;  // no formatting below the level
  char stack_buf[1024];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(stack_buf, sizeof(stack_buf), format, copy);
  va_end(copy);
  if (n < 0) return;
  try {
    if (static_cast<size_t>(n) < sizeof(stack_buf)) {
      l->log(spd, spdlog::string_view_t(stack_buf, static_cast<size_t>(n)));
    } else {
      std::string big(static_cast<size_t>(n) + 1, '\0');
      std::vsnprintf(big.data(), big.size(), format, args);
      l->log(spd, spdlog::string_view_t(big.data(), static_cast<size_t>(n)));
    }
  } catch (...) {
    // A failing sink must not take the calling thread down.
  }
}

}  // namespace
std::string ShortenID(std::string_view id) {
  if (id.size() <= 32) return std::string(id);
  return std::string(id.substr(id.size() - 33));
}

bool NeedsEscapeForLog(std::string_view text, size_t max_bytes) {
  if (text.size() > max_bytes) return true;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string EscapeForLog(std::string_view text, size_t max_bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const size_t shown = text.size() < max_bytes ? text.size() : max_bytes;
  std::string out;
  out.reserve(shown + 16);
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  if (shown < text.size()) {
    out += " ... (" + std::to_string(text.size() - shown) + " more bytes)";
  }
  return out;
}

}  // namespace zuv

extern "C" {

int NLog_ConfigureFromFileA(const char* path) {
  std::string err;
  std::string base_dir = std::filesystem::path(path).parent_path().string();
  if (base_dir.empty()) base_dir = ".";
  if (zuv::ConfigureLoggingFromFile(path, base_dir, &err) != 0) {
    zuv::LogLine("ZUV", zuv::LogLevel::Error, ("Cannot configure logging: " + err).c_str());
    return 1;
  }
  return 0;
}

#define ZUV_DEFINE_NLOG(fn, level)                          \
  void fn(const char* logger, const char* format, ...) {    \
    va_list args;                                           \
    va_start(args, format);                                 \
    zuv::LogV(logger, level, format, args);                 \
    va_end(args);                                           \
  }
ZUV_DEFINE_NLOG(NLog_TraceA, zuv::LogLevel::Trace)
ZUV_DEFINE_NLOG(NLog_DebugA, zuv::LogLevel::Debug)
ZUV_DEFINE_NLOG(NLog_InfoA, zuv::LogLevel::Info)
ZUV_DEFINE_NLOG(NLog_WarnA, zuv::LogLevel::Warn)
ZUV_DEFINE_NLOG(NLog_ErrorA, zuv::LogLevel::Error)
ZUV_DEFINE_NLOG(NLog_FatalA, zuv::LogLevel::Fatal)
#undef ZUV_DEFINE_NLOG

}  // extern "C"
