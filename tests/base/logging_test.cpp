// Tests of the logging configuration writer and its mapping onto sinks.
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <spdlog/sinks/base_sink.h>

#include "base/logging.h"
#include "base/logging_internal.h"
#include "base/registry_file.h"
#include "base/settings.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string HostName() {
  char buf[256] = {};
  gethostname(buf, sizeof(buf) - 1);
  return buf;
}

// Collects the formatted lines of the EventLog target.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> lines;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t buf;
    formatter_->format(msg, buf);
    lines.emplace_back(buf.data(), buf.size());
  }
  void flush_() override {}
};

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-log-XXXXXX";
    dir_ = mkdtemp(tmpl);
    event_log_ = std::make_shared<CaptureSink>();
    SetEventLogSinkFactoryForTest([this](const std::string& source) {
      event_source_ = source;
      return event_log_;
    });
  }
  void TearDown() override {
    SetEventLogSinkFactoryForTest(nullptr);
    ResetLoggingForTest();
    fs::remove_all(dir_);
  }
  void Configure(const std::string& xml) {
    fs::path path = dir_ / "ZUV_NLOG_Config.xml";
    std::ofstream(path) << xml;
    std::string err;
    ASSERT_EQ(ConfigureLoggingFromFile(path.string(), dir_.string(), &err), 0u) << err;
  }

  fs::path dir_;
  std::shared_ptr<CaptureSink> event_log_;
  std::string event_source_;
};

TEST_F(LoggingTest, WrittenConfigurationHasTheTargetsAndRulesInOrder) {
  RegistryFile registry;
  std::string err;
  ASSERT_EQ(registry.Parse("Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n"
                           "\"LogFolderPath\"=\"D:\\\\Logs\\\\Zuv\"\n",
                           &err),
            0u);
  fs::path path = dir_ / "out.xml";
  ASSERT_EQ(WriteLogConfigFile(path.string(), ReadLogFolderPath(registry)), 0u);
  std::string text = Slurp(path);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(text.c_str()));
  pugi::xml_node nlog = doc.child("nlog");
  EXPECT_STREQ(nlog.attribute("xmlns").value(), "http://www.nlog-project.org/schemas/NLog.xsd");
  EXPECT_STREQ(nlog.attribute("xmlns:xsi").value(), "http://www.w3.org/2001/XMLSchema-instance");
  EXPECT_STREQ(nlog.attribute("autoReload").value(), "true");

  std::vector<std::string> names;
  for (auto t : nlog.child("targets").children("target")) names.push_back(t.attribute("name").value());
  EXPECT_EQ(names, (std::vector<std::string>{"eventLog", "logfile", "console"}));
  auto file = nlog.child("targets").find_child_by_attribute("name", "logfile");
  EXPECT_STREQ(file.attribute("xsi:type").value(), "File");
  EXPECT_STREQ(file.attribute("fileName").value(), "D:/Logs/Zuv/ZUV_Service-${machinename}.log");
  EXPECT_STREQ(file.attribute("archiveFileName").value(),
               "D:/Logs/Zuv/ZUV_Service_${machinename}-${shortdate}.{#}.txt");
  EXPECT_STREQ(file.attribute("archiveAboveSize").value(), "10485760");
  EXPECT_STREQ(file.attribute("maxArchiveFiles").value(), "10");
  EXPECT_STREQ(file.attribute("encoding").value(), "iso-8859-2");
  auto event = nlog.child("targets").find_child_by_attribute("name", "eventLog");
  EXPECT_STREQ(event.attribute("source").value(), "tovanixZUV");
  EXPECT_STREQ(event.attribute("log").value(), "tovanix");
  auto console = nlog.child("targets").find_child_by_attribute("name", "console");
  EXPECT_STREQ(console.attribute("type").value(), "ColoredConsole");  // a plain attribute
  EXPECT_TRUE(console.attribute("xsi:type").empty());

  std::vector<std::string> rules;
  for (auto r : nlog.child("rules").children("logger")) {
    rules.push_back(std::string(r.attribute("name").value()) + " " + r.attribute("minlevel").value() +
                    " " + r.attribute("writeTo").value());
  }
  EXPECT_EQ(rules, (std::vector<std::string>{"* Info logfile", "* Info console", "* error eventLog"}));
}

TEST_F(LoggingTest, DefaultFolderIsTheLogsDirectoryOfTheModule) {
  RegistryFile empty;
  std::string text = LogConfigText(ReadLogFolderPath(empty));
  EXPECT_NE(text.find("fileName=\"${basedir}/logs/ZUV_Service-${machinename}.log\""),
            std::string::npos);
  EXPECT_NE(text.find("archiveFileName=\"${basedir}/logs/ZUV_Service_"), std::string::npos);
}

TEST_F(LoggingTest, WrittenRulesDropTraceAndSendErrorsEverywhere) {
  Configure(LogConfigText("${basedir}/logs"));
  EXPECT_EQ(event_source_, "tovanixZUV");
  EXPECT_FALSE(LogEnabled("ZUV", LogLevel::Debug));

  testing::internal::CaptureStdout();
  NLog_TraceA("ZUV", "trace line %d", 1);
  NLog_DebugA("ZUV", "debug line %d", 2);
  NLog_InfoA("TLOG", "info line %s", "three");
  NLog_ErrorA("ZUV", "error line %d", 4);
  FlushLogs();
  std::string console = testing::internal::GetCapturedStdout();

  std::string file = Slurp(dir_ / "logs" / ("ZUV_Service-" + HostName() + ".log"));
  for (const std::string* out : {&file, &console}) {
    EXPECT_EQ(out->find("trace line"), std::string::npos);
    EXPECT_EQ(out->find("debug line"), std::string::npos);
    EXPECT_NE(out->find("::Info::info line three"), std::string::npos);
    EXPECT_NE(out->find("::Error::error line 4"), std::string::npos);
  }
  ASSERT_EQ(event_log_->lines.size(), 1u);
  const std::string& line = event_log_->lines[0];
  // ${date}::${level}::${message} with the date as yyyy/MM/dd HH:mm:ss.fff
  ASSERT_GE(line.size(), 25u);
  EXPECT_EQ(line[4], '/');
  EXPECT_EQ(line[7], '/');
  EXPECT_EQ(line[19], '.');
  EXPECT_EQ(line.substr(23), "::Error::error line 4\n");
}

TEST_F(LoggingTest, LoggerRulesAndFinalRouteEachLogger) {
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets>
    <target name="t" xsi:type="File" fileName="${basedir}/tlog.txt" layout="${logger}|${message}"/>
    <target name="all" xsi:type="File" fileName="${basedir}/all.txt" layout="${level}|${message}"/>
  </targets>
  <rules>
    <logger name="TLOG" minlevel="Trace" writeTo="t" final="true"/>
    <logger name="*" minlevel="Warn" writeTo="all"/>
  </rules>
</nlog>)");
  EXPECT_TRUE(LogEnabled("TLOG", LogLevel::Trace));
  EXPECT_FALSE(LogEnabled("ZUV", LogLevel::Info));
  NLog_TraceA("TLOG", "t1");
  NLog_WarnA("TLOG", "t2");
  NLog_InfoA("ZUV", "z1");
  NLog_FatalA("ZUV", "z2");
  NLog_WarnA("DETAILTLOG", "d1");
  FlushLogs();
  EXPECT_EQ(Slurp(dir_ / "tlog.txt"), "TLOG|t1\nTLOG|t2\n");
  EXPECT_EQ(Slurp(dir_ / "all.txt"), "Fatal|z2\nWarn|d1\n");
}

TEST_F(LoggingTest, FileTargetArchivesBySizeKeepingTheNewestAtZero) {
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets>
    <target name="f" xsi:type="File" layout="${message}" fileName="${basedir}/cur.log"
            archiveFileName="${basedir}/arch.{#}.txt" archiveAboveSize="100"
            archiveNumbering="Rolling" maxArchiveFiles="2"/>
  </targets>
  <rules><logger name="*" minlevel="Info" writeTo="f"/></rules>
</nlog>)");
  // Each line is 60 bytes, so every line after the first starts a new file.
  for (int i = 0; i < 5; ++i) NLog_InfoA("ZUV", "%d%s", i, std::string(58, 'x').c_str());
  FlushLogs();
  EXPECT_EQ(Slurp(dir_ / "cur.log").substr(0, 1), "4");
  EXPECT_EQ(Slurp(dir_ / "arch.0.txt").substr(0, 1), "3");
  EXPECT_EQ(Slurp(dir_ / "arch.1.txt").substr(0, 1), "2");
  EXPECT_FALSE(fs::exists(dir_ / "arch.2.txt"));
}

TEST_F(LoggingTest, LongLinesAreWrittenWhole) {
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets><target name="f" xsi:type="File" layout="${message}" fileName="${basedir}/l.log"/></targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f"/></rules>
</nlog>)");
  std::string big(5000, 'q');
  NLog_TraceA("ZUV", "<%s>", big.c_str());
  FlushLogs();
  EXPECT_EQ(Slurp(dir_ / "l.log"), "<" + big + ">\n");
}

TEST_F(LoggingTest, UnreadableConfigurationKeepsThePreviousOne) {
  std::string err;
  EXPECT_NE(ConfigureLoggingFromFile((dir_ / "missing.xml").string(), dir_.string(), &err), 0u);
  EXPECT_FALSE(err.empty());
  std::ofstream(dir_ / "bad.xml") << "<nlog><targets><target name=";
  EXPECT_NE(ConfigureLoggingFromFile((dir_ / "bad.xml").string(), dir_.string(), &err), 0u);
  EXPECT_TRUE(LogEnabled("ZUV", LogLevel::Info));
}

TEST_F(LoggingTest, BufferedLinesAreWrittenInOrderByAnErrorByFlushAndByTheTimer) {
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets><target name="f" xsi:type="File" layout="${level}|${message}" fileName="${basedir}/b.log"/></targets>
  <rules><logger name="*" minlevel="Info" writeTo="f"/></rules>
</nlog>)");
  const fs::path file = dir_ / "b.log";
  SetLogFlushInterval(std::chrono::hours(1));
  NLog_InfoA("ZUV", "one");
  NLog_WarnA("TLOG", "two");
  EXPECT_EQ(Slurp(file), "");  // held in the buffer
  NLog_ErrorA("ZUV", "three");  // an error goes out with everything before it
  EXPECT_EQ(Slurp(file), "Info|one\nWarn|two\nError|three\n");
  NLog_InfoA("DETAILTLOG", "four");
  FlushLogs();  // the stop path
  EXPECT_EQ(Slurp(file), "Info|one\nWarn|two\nError|three\nInfo|four\n");

  // A shorter interval writes what waits; the flush thread does it alone.
  NLog_InfoA("ZUV", "five");
  SetLogFlushInterval(std::chrono::milliseconds(20));
  NLog_InfoA("ZUV", "six");
  bool written = false;
  for (int i = 0; i < 1000 && !written; ++i) {
    written = Slurp(file).find("Info|six\n") != std::string::npos;
    if (!written) usleep(10000);
  }
  EXPECT_TRUE(written);
  EXPECT_NE(Slurp(file).find("Info|five\nInfo|six\n"), std::string::npos);

  SetLogFlushInterval(std::chrono::milliseconds(0));  // every line at once again
  EXPECT_EQ(LogFlushInterval().count(), 0);
  NLog_InfoA("ZUV", "seven");
  EXPECT_NE(Slurp(file).find("Info|six\nInfo|seven\n"), std::string::npos);
}

TEST_F(LoggingTest, FileLinesMatchTheSpdlogPatternOfTheSameLayout) {
  // The EventLog target formats with spdlog's pattern, the File target with
  // its own layout; both get the same message.
  const std::string layout =
      "${date}|${longdate}|${shortdate}|${level}|${logger}|${threadid}|${processid}|"
      "${machinename}|${message}|100%|${unknown}";
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets>
    <target name="f" xsi:type="File" fileName="${basedir}/same.log" layout=")" + layout + R"("/>
    <target name="e" xsi:type="EventLog" layout=")" + layout + R"("/>
  </targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f,e"/></rules>
</nlog>)");
  NLog_TraceA("TLOG", "t %d", 1);
  NLog_WarnA("DETAILTLOG", "w %s", "two");
  NLog_FatalA("ZUV", "f %%d 3");
  FlushLogs();
  ASSERT_EQ(event_log_->lines.size(), 3u);
  std::string expected;
  for (const std::string& line : event_log_->lines) expected += line;
  EXPECT_EQ(Slurp(dir_ / "same.log"), expected);
  EXPECT_NE(expected.find("|Trace|TLOG|"), std::string::npos);
  EXPECT_NE(expected.find("|f %d 3|100%|${unknown}\n"), std::string::npos);
}

TEST_F(LoggingTest, DatePrefixFollowsTheSecondAndTheDay) {
  using Clock = std::chrono::system_clock;
  // Expected text of ${date} and ${longdate} from localtime_r and strftime.
  auto expect = [](Clock::time_point t, const char* date_format, int frac_digits) {
    const std::time_t secs = Clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[64];
    std::strftime(buf, sizeof(buf), date_format, &tm);
    const auto since = t.time_since_epoch();
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(since - std::chrono::seconds(secs)).count();
    char frac[32] = "";
    if (frac_digits == 0) {
      // no fraction
    } else if (frac_digits == 3) {
      std::snprintf(frac, sizeof(frac), ".%03lld", us / 1000);
    } else {
      std::snprintf(frac, sizeof(frac), ".%06lld", us);
    }
    return std::string(buf) + frac;
  };
  // Around a midnight: the same thread formats seconds out of order, so
  // every change of second must renew the cached prefix.
  std::tm midnight{};
  midnight.tm_year = 2031 - 1900;
  midnight.tm_mon = 11;
  midnight.tm_mday = 31;
  midnight.tm_isdst = -1;
  const Clock::time_point base = Clock::from_time_t(std::mktime(&midnight));
  const std::chrono::microseconds offsets[] = {
      std::chrono::microseconds(-1),       std::chrono::microseconds(0),
      std::chrono::microseconds(999999),   std::chrono::microseconds(1000000),
      std::chrono::microseconds(-1000001), std::chrono::microseconds(86399999999LL),
      std::chrono::microseconds(86400000000LL), std::chrono::microseconds(-1)};
  for (const auto offset : offsets) {
    const Clock::time_point t = base + offset;
    EXPECT_EQ(FormatLogLineForTest("${date}::${level}::${message}", LogLevel::Warn, "ZUV", t, "x"),
              expect(t, "%Y/%m/%d %H:%M:%S", 3) + "::Warn::x\n")
        << offset.count();
    EXPECT_EQ(FormatLogLineForTest("${longdate} ${shortdate}", LogLevel::Info, "ZUV", t, "x"),
              expect(t, "%Y-%m-%d %H:%M:%S", 6) + " " + expect(t, "%Y-%m-%d", 0) +
                  "\n")
        << offset.count();
  }
}

TEST_F(LoggingTest, ConcurrentLinesStayWholeAndInOrderPerThread) {
  Configure(R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets>
    <target name="f" xsi:type="File" fileName="${basedir}/c.log" layout="${level}|${message}"/>
  </targets>
  <rules><logger name="*" minlevel="Info" writeTo="f"/></rules>
</nlog>)");
  SetLogFlushInterval(std::chrono::milliseconds(5));  // the flush thread runs meanwhile
  constexpr int kThreads = 6;
  constexpr int kLines = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Lines of different lengths, some longer than the stack buffer.
      for (int i = 0; i < kLines; ++i) {
        const std::string pad(static_cast<size_t>((i * 37 + t * 11) % 1500), static_cast<char>('a' + t));
        NLog_InfoA(t % 2 == 0 ? "ZUV" : "TLOG", "T%d #%d |%s| end", t, i, pad.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  SetLogFlushInterval(std::chrono::milliseconds(0));
  FlushLogs();
  std::istringstream in(Slurp(dir_ / "c.log"));
  std::string line;
  int next[kThreads] = {};
  int count = 0;
  while (std::getline(in, line)) {
    int t = -1;
    int i = -1;
    int used = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "Info|T%d #%d |%n", &t, &i, &used), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]) << line;
    next[t] = i + 1;
    const std::string pad(static_cast<size_t>((i * 37 + t * 11) % 1500), static_cast<char>('a' + t));
    EXPECT_EQ(line.substr(static_cast<size_t>(used)), pad + "| end") << "thread " << t << " line " << i;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LoggingTest, EscapeIsNeededExactlyWhenItChangesTheText) {
  const std::string texts[] = {"", "plain {\"a\":1}", "tab\there", "nl\n", std::string("nul\0x", 5),
                               "del\x7f", "high \xe9\xff bytes", std::string(100, 'x')};
  for (const std::string& t : texts) {
    for (size_t max : {size_t{10}, size_t{4096}}) {
      EXPECT_EQ(NeedsEscapeForLog(t, max), EscapeForLog(t, max) != t) << t << " " << max;
    }
  }
}

}  // namespace
}  // namespace zuv
