// zuvadmin_import_load.cpp: throughput of `zuvadmin import-mbox`.
//
// Generates an mbox of --messages messages (default 10,000) of mixed sizes up
// to 1 MB: 70% text of 1-10 KB, 25% of 10-100 KB with one attachment, 5% of
// 100 KB-1 MB with two. It then times, in the same run, `grep -c '^From '`
// over the file (the cost of reading it) and import-mbox into a fresh store
// (the cost of parsing and storing), and prints messages/s and MB/s of both.
// Everything lives in a temporary directory removed at the end (--keep
// leaves it).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kWords[] = {"store", "folder", "message", "table", "quarter", "report", "meeting", "budget",
                                  "draft",  "review", "server",  "notice", "update",  "coffee", "Monday",  "plan"};

// Text lines of about size bytes; no line starts with "From ".
std::string Text(std::mt19937& rng, size_t size) {
  std::string out;
  while (out.size() < size) {
    std::string line;
    while (line.size() < 70) line += std::string(kWords[rng() % std::size(kWords)]) + " ";
    out += line + "\n";
  }
  return out;
}

// size bytes of random data as base64 lines of 76 characters.
std::string Base64Lines(std::mt19937& rng, size_t size) {
  std::string out;
  const size_t chars = (size + 2) / 3 * 4;
  for (size_t i = 0; i < chars; ++i) {
    out += kBase64[rng() % 64];
    if (i % 76 == 75) out += '\n';
  }
  return out + "\n";
}

std::string Message(std::mt19937& rng, int n) {
  const unsigned kind = rng() % 100;
  const size_t size = kind < 70 ? 1000 + rng() % 9000 : kind < 95 ? 10000 + rng() % 90000 : 100000 + rng() % 900000;
  const int attachments = kind < 70 ? 0 : kind < 95 ? 1 : 2;
  std::string m = "From sender" + std::to_string(n % 97) + "@example.org Mon Jan  1 00:00:00 2024\n";
  m += "From: Sender " + std::to_string(n % 97) + " <sender" + std::to_string(n % 97) + "@example.org>\n";
  m += "To: John Doe <jdoe@example.org>\nSubject: message " + std::to_string(n) + "\n";
  m += "Date: Mon, 01 Jan 2024 00:00:00 +0000\nMessage-ID: <" + std::to_string(n) + "@bench.example>\n";
  m += "MIME-Version: 1.0\n";
  if (attachments == 0) return m + "Content-Type: text/plain; charset=us-ascii\n\n" + Text(rng, size) + "\n";
  m += "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=us-ascii\n\n";
  m += Text(rng, size / 4);
  for (int a = 0; a < attachments; ++a) {
    m += "--b\nContent-Type: application/octet-stream; name=\"data" + std::to_string(a) +
         ".bin\"\nContent-Disposition: attachment; filename=\"data" + std::to_string(a) +
         ".bin\"\nContent-Transfer-Encoding: base64\n\n";
    m += Base64Lines(rng, size * 3 / 4 / attachments * 3 / 4);
  }
  return m + "--b--\n\n";
}

// Runs command through the shell; its first output line, or "" on failure.
std::string FirstLine(const std::string& command, int* status) {
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return "";
  char line[512] = {};
  const bool got = std::fgets(line, sizeof(line), p) != nullptr;
  *status = pclose(p);
  std::string text = got ? line : "";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zuvadmin_import_load: import-mbox throughput beside grep -c over the same mbox"};
  int messages = 10000;
  std::string zuvadmin = (fs::read_symlink("/proc/self/exe").parent_path() / "zuvadmin").string();
  bool keep = false;
  app.add_option("--messages", messages, "messages in the generated mbox")->capture_default_str()->check(CLI::Range(1, 1000000));
  app.add_option("--zuvadmin", zuvadmin, "the zuvadmin to measure")->capture_default_str();
  app.add_flag("--keep", keep, "keep the temporary directory (mbox and store)");
  CLI11_PARSE(app, argc, argv);

  char tmpl[] = "/tmp/zuvadmin-import-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("zuvadmin_import_load: mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  const std::string mbox = (dir / "bench.mbox").string(), store = (dir / "store.db").string();
  {
    std::mt19937 rng(20240101);
    std::ofstream out(mbox, std::ios::binary);
    for (int i = 1; i <= messages; ++i) out << Message(rng, i);
  }
  const double mb = static_cast<double>(fs::file_size(mbox)) / 1e6;
  std::printf("mbox: %d messages, %.1f MB (%s)\n", messages, mb, mbox.c_str());

  int status = 0;
  // Read once first so both timings below start from a warm page cache.
  (void)FirstLine("cat '" + mbox + "' > /dev/null", &status);
  auto start = std::chrono::steady_clock::now();
  const std::string count = FirstLine("grep -c '^From ' '" + mbox + "'", &status);
  const double grep_s = Seconds(start);

  const std::string admin = "'" + zuvadmin + "' --store '" + store + "' ";
  bool ok = std::system((admin + "init > /dev/null && " + admin + "add-server MAIL01 && " + admin +
                         "add-mailbox jdoe --display-name 'John Doe' --smtp jdoe@example.org "
                         "--legacy-dn /o=Bench/cn=jdoe --server MAIL01 > /dev/null")
                            .c_str()) == 0;
  start = std::chrono::steady_clock::now();
  const std::string summary = ok ? FirstLine(admin + "import-mbox jdoe --folder Inbox '" + mbox + "' 2>/dev/null", &status) : "";
  const double import_s = Seconds(start);
  ok = ok && status == 0;

  std::printf("grep -c '^From ': %s in %.3f s: %.0f messages/s, %.1f MB/s\n", count.c_str(), grep_s,
              messages / grep_s, mb / grep_s);
  std::printf("import-mbox:      %s in %.3f s: %.0f messages/s, %.1f MB/s\n", summary.c_str(), import_s,
              messages / import_s, mb / import_s);
  std::error_code ec;
  const uintmax_t wal = fs::exists(store + "-wal", ec) ? fs::file_size(store + "-wal", ec) : 0;
  std::printf("store: %.1f MB with its WAL; import takes %.0fx the time of grep\n",
              ok ? static_cast<double>(fs::file_size(store, ec) + wal) / 1e6 : 0.0, import_s / grep_s);
  if (!keep) fs::remove_all(dir);
  if (!ok) std::fprintf(stderr, "zuvadmin_import_load: the import failed (status %d)\n", status);
  return ok && count == std::to_string(messages) ? 0 : 1;
}
