// cmd_tables.cpp: get-table, watch, set and delete-item.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "zuvsdk/push_listener.h"
#include "zuvctl.h"

namespace zuvctl {
namespace {

struct TableArgs {
  std::string folder;
  std::vector<std::string> columns;
  std::vector<std::string> where;
  int start = 0;
  int count = 0;
  std::string listen = "127.0.0.1:0";
};

void AddTableOptions(CLI::App* cmd, TableArgs* args, bool paging) {
  cmd->add_option("FOLDER", args->folder, "folder path (Inbox/Projects) or entry ID")->required();
  cmd->add_option("--columns", args->columns, "columns to read, e.g. PR_SUBJECT,PR_MESSAGE_SIZE")
      ->delimiter(',')
      ->required();
  cmd->add_option("--where", args->where,
                  "NAME=VALUE: only rows whose column equals the value (typed by the column; repeatable)");
  if (paging) {
    cmd->add_option("--start", args->start, "first matching row to show, counted from 1")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--count", args->count, "most rows to show; 0 for all")->check(CLI::NonNegativeNumber);
  }
}

// The query of args, or a usage failure in *err.
bool BuildQuery(const TableArgs& args, zuvsdk::TableQuery* query, std::string* err) {
  query->columns = args.columns;
  query->start = args.start;
  query->count = args.count;
  for (const std::string& w : args.where) {
    zuvsdk::Criterion c;
    if (zuvsdk::ParseAssignment(w, &c.name, &c.value, err) != 0) return false;
    if (c.value.kind != zuvsdk::kTypeLong && c.value.kind != zuvsdk::kTypeString &&
        c.value.kind != zuvsdk::kTypeSysTime) {
      *err = "--where " + w + ": only number, string and time columns can be compared";
      return false;
    }
    query->criteria.push_back(std::move(c));
  }
  return true;
}

// Writes one row: JSON with the key, an optional event and the columns by
// their bare names; text as cells in column order.
void PrintRowJson(const zuvsdk::Row& row, const std::vector<std::string>& columns, const char* event) {
  JsonLine line;
  if (event != nullptr) line.Str("event", event);
  line.Str("key", row.key);
  for (const std::string& column : columns) {
    const std::string bare = zuvsdk::BareName(column);
    if (const zuvsdk::Property* p = row.Find(bare)) line.Value(bare.c_str(), p->value);
  }
  line.Print();
}

std::vector<std::string> RowCells(const zuvsdk::Row& row, const std::vector<std::string>& columns) {
  std::vector<std::string> cells{row.key};
  for (const std::string& column : columns) cells.push_back(CellText(row.Find(zuvsdk::BareName(column))));
  return cells;
}

std::vector<std::string> Header(const std::vector<std::string>& columns, bool with_event) {
  std::vector<std::string> header;
  if (with_event) header.push_back("EVENT");
  header.push_back("KEY");
  for (const std::string& c : columns) header.push_back(zuvsdk::BareName(c));
  return header;
}

const char* EventName(int data_type) {
  switch (data_type) {
    case zuvsdk::kDataRowAdded:
      return "added";
    case zuvsdk::kDataRowDeleted:
      return "deleted";
    case zuvsdk::kDataRowModified:
      return "modified";
    case zuvsdk::kDataTableFill:
      return "fill";
    case zuvsdk::kDataTableRows:
      return "row";
    default:
      return "unknown";
  }
}

// Set by SIGINT/SIGTERM; watch polls it.
std::atomic<bool> g_stop{false};
int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  g_stop = true;
  if (g_stop_pipe[1] >= 0) {
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(g_stop_pipe[1], &c, 1);
  }
}

// Prints watch events; the push thread and the main thread both print, so
// every line is written under mu.
class WatchPrinter {
 public:
  WatchPrinter(const Options& opts, std::vector<std::string> columns) : opts_(opts), columns_(std::move(columns)) {}

  void Print(const zuvsdk::TableAnswer& m) {
    std::lock_guard<std::mutex> lock(mu_);
    const char* event = EventName(m.data_type);
    if (m.data_type == zuvsdk::kDataRowDeleted) {
      if (opts_.json) {
        JsonLine().Str("event", event).Str("key", m.deleted_key).Print();
      } else {
        std::printf("%-8s  %s\n", event, m.deleted_key.c_str());
      }
    }
    for (const zuvsdk::Row& row : m.rows) {
      if (opts_.json) {
        PrintRowJson(row, columns_, event);
        continue;
      }
      std::string line = std::string(event);
      line.resize(std::max<size_t>(line.size(), 8), ' ');
      line += "  " + row.key;
      for (const std::string& c : columns_) {
        const std::string bare = zuvsdk::BareName(c);
        const zuvsdk::Property* p = row.Find(bare);
        if (p != nullptr) line += "  " + bare + "=" + CellText(p);
      }
      for (char& ch : line) {
        if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
      }
      std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
  }
  void Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    std::fprintf(stderr, "zuvctl: ignored a pushed message: %s\n", text.c_str());
  }

 private:
  const Options& opts_;
  const std::vector<std::string> columns_;
  std::mutex mu_;  // guards stdout and stderr writes of the watch
};

}  // namespace

void AddTableCommands(CLI::App* app, const Options* opts, int* status) {
  // ---- get-table ----
  auto* get = app->add_subcommand("get-table", "read the rows of a folder (GetTable)");
  static TableArgs get_args;
  AddTableOptions(get, &get_args, true);
  get->callback([opts, status] {
    zuvsdk::TableQuery query;
    std::string err;
    if (!BuildQuery(get_args, &query, &err)) {
      *status = Fail(err, kExitUsage);
      return;
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    zuvsdk::TableAnswer answer;
    int rc = ResolveFolder(&client, get_args.folder, &query.folder, &err);
    if (rc == zuvsdk::kOk) rc = client.GetTable(query, &answer, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "get-table");
      return;
    }
    // The service sends every matching row from the start on (the count
    // only bounds its wait while the table fills), so the count is applied
    // here.
    if (get_args.count > 0 && answer.rows.size() > static_cast<size_t>(get_args.count)) {
      answer.rows.resize(static_cast<size_t>(get_args.count));
    }
    if (opts->json) {
      for (const zuvsdk::Row& row : answer.rows) PrintRowJson(row, get_args.columns, nullptr);
      return;
    }
    TextTable table(Header(get_args.columns, false));
    for (const zuvsdk::Row& row : answer.rows) table.Add(RowCells(row, get_args.columns));
    table.Print();
    std::printf("(%zu rows)\n", answer.rows.size());
  });

  // ---- watch ----
  auto* watch = app->add_subcommand(
      "watch", "read a folder, then print every pushed change (added, modified, deleted, fill) until Ctrl-C");
  static TableArgs watch_args;
  AddTableOptions(watch, &watch_args, false);
  watch->add_option("--listen", watch_args.listen,
                    "HOST:PORT of the listener for pushes; the service must reach it (port 0: any free port)")
      ->capture_default_str();
  watch->callback([opts, status] {
    zuvsdk::TableQuery query;
    std::string err, host;
    uint16_t port = 0;
    if (!BuildQuery(watch_args, &query, &err) ||
        zuvsdk::ParseHostPort(watch_args.listen, &host, &port, &err) != zuvsdk::kOk) {
      *status = Fail(err, kExitUsage);
      return;
    }
    if (::pipe2(g_stop_pipe, O_CLOEXEC) != 0) {
      *status = Fail("cannot create a pipe");
      return;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    WatchPrinter printer(*opts, watch_args.columns);
    zuvsdk::PushListener listener;
    if (listener.Start(
            host, port,
            [&printer](const zuvsdk::TableAnswer& m, bool ok, const std::string& error) {
              if (ok) {
                printer.Print(m);
              } else {
                printer.Error(error);
              }
            },
            opts->endpoint().timeout_ms, &err) != 0) {
      *status = Fail(err);
      return;
    }
    query.notification_url = listener.url();
    zuvsdk::Client client(opts->endpoint(), opts->session());
    zuvsdk::TableAnswer answer;
    int rc = ResolveFolder(&client, watch_args.folder, &query.folder, &err);
    if (rc == zuvsdk::kOk) rc = client.GetTable(query, &answer, &err);
    if (rc != zuvsdk::kOk) {
      listener.Stop();
      *status = Finish(rc, err, "watch");
      return;
    }
    // The service registers the listener after its answer; once the next
    // request on this connection is answered, the read is done with and
    // every later change is pushed.
    int known = 0;
    std::string ping_err;
    (void)client.Ping(&known, &ping_err);
    answer.data_type = zuvsdk::kDataTableRows;
    printer.Print(answer);
    std::fprintf(stderr, "zuvctl: watching %s (%zu rows), pushes to %s; Ctrl-C to stop\n",
                 watch_args.folder.c_str(), answer.rows.size(), listener.url().c_str());
    while (!g_stop) {
      pollfd p{g_stop_pipe[0], POLLIN, 0};
      ::poll(&p, 1, 1000);
    }
    listener.Stop();
    // Close ends this client's reads and the service's pushes to it; the
    // connection may have idled out, so a fresh one is fine.
    rc = client.Close(query.folder, &err);
    if (rc != zuvsdk::kOk) {
      client.Disconnect();
      rc = client.Close(query.folder, &err);
    }
    *status = rc == zuvsdk::kOk ? kExitOk : Finish(rc, err, "close");
  });

  // ---- set ----
  auto* set = app->add_subcommand("set", "write values into an item, or create one without --item (SetTable)");
  struct SetArgs {
    std::string folder;
    std::string item;
    std::vector<std::string> assignments;
  };
  static SetArgs set_args;
  set->add_option("FOLDER", set_args.folder, "folder path or entry ID")->required();
  set->add_option("--item", set_args.item, "entry ID of the item to change; without it a new item is made");
  set->add_option("NAME=VALUE", set_args.assignments, "values, typed by the column (PR_SUBJECT=Hello)")->required();
  set->callback([opts, status] {
    std::vector<zuvsdk::Assignment> values;
    std::string err;
    for (const std::string& a : set_args.assignments) {
      zuvsdk::Assignment v;
      if (zuvsdk::ParseAssignment(a, &v.name, &v.value, &err) != 0) {
        *status = Fail(err, kExitUsage);
        return;
      }
      values.push_back(std::move(v));
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string folder, item = set_args.item;
    int rc = ResolveFolder(&client, set_args.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.SetTable(folder, values, &item, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "set");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", item).Bool("Created", set_args.item.empty()).Print();
    } else {
      std::printf("%s\n", item.c_str());
    }
  });

  // ---- delete-item ----
  auto* del = app->add_subcommand("delete-item", "delete an item of a folder");
  struct DeleteArgs {
    std::string folder;
    std::string item;
  };
  static DeleteArgs del_args;
  del->add_option("FOLDER", del_args.folder, "folder path or entry ID")->required();
  del->add_option("ITEM", del_args.item, "entry ID of the item")->required();
  del->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string folder, err;
    int rc = ResolveFolder(&client, del_args.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.DeleteItem(folder, del_args.item, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "delete-item");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", del_args.item).Bool("Deleted", true).Print();
    } else {
      std::printf("deleted %s\n", del_args.item.c_str());
    }
  });
}

}  // namespace zuvctl
