// cmd_directory.cpp: resolve, mailbox-info, servers, mailboxes and devices.
#include <strings.h>

#include <cstdio>

#include "zuvctl.h"

namespace zuvctl {
namespace {

// Prints records: JSON one object per record with its fields; text a table
// whose columns are the fields of the first record.
void PrintRecords(const Options& opts, const std::vector<zuvsdk::Record>& records) {
  if (opts.json) {
    for (const zuvsdk::Record& r : records) {
      JsonLine line;
      for (const auto& [k, v] : r.fields) line.Str(k.c_str(), v);
      line.Print();
    }
    return;
  }
  if (records.empty()) {
    std::printf("(none)\n");
    return;
  }
  std::vector<std::string> header;
  for (const auto& field : records.front().fields) header.push_back(field.first);
  TextTable table(header);
  for (const zuvsdk::Record& r : records) {
    std::vector<std::string> cells;
    for (const std::string& h : header) cells.push_back(r.Get(h));
    table.Add(std::move(cells));
  }
  table.Print();
}

}  // namespace

void AddDirectoryCommands(CLI::App* app, const Options* opts, int* status) {
  // ---- resolve ----
  auto* resolve = app->add_subcommand("resolve", "look a user up by e-mail address or --cn common name");
  struct ResolveArgs {
    std::string email;
    std::string cn;
    std::string dom_server;
  };
  static ResolveArgs rs;
  auto* email_opt = resolve->add_option("EMAIL", rs.email, "e-mail address (ADResolveEmail)");
  auto* cn_opt = resolve->add_option("--cn", rs.cn, "common name instead of an address (ADResolveCN)");
  email_opt->excludes(cn_opt);
  resolve->add_option("--dom-server", rs.dom_server, "directory server for --cn");
  resolve->callback([opts, status] {
    if (rs.email.empty() && rs.cn.empty()) {
      *status = Fail("resolve needs EMAIL or --cn NAME", kExitUsage);
      return;
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    zuvsdk::UserInfo user;
    std::string err;
    const int rc = rs.cn.empty() ? client.ResolveEmail(rs.email, &user, &err)
                                 : client.ResolveCN(rs.cn, rs.dom_server, &user, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "resolve " + (rs.cn.empty() ? rs.email : rs.cn));
      return;
    }
    if (opts->json) {
      JsonLine().Str("UserName", user.user_name).Str("UserDN", user.user_dn).Str("StoreDN", user.store_dn).Print();
    } else {
      std::printf("User name: %s\nUser DN:   %s\nStore DN:  %s\n", user.user_name.c_str(), user.user_dn.c_str(),
                  user.store_dn.c_str());
    }
  });

  // ---- mailbox-info ----
  auto* info = app->add_subcommand("mailbox-info", "the store entry ID of a user's mailbox (MailBoxInfo)");
  static std::string info_email;
  info->add_option("EMAIL", info_email, "e-mail address of the mailbox")->required();
  info->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, store;
    const int rc = client.MailboxInfo(info_email, &store, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "mailbox-info");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EmailAddress", info_email).Str("StoreEntryID", store).Print();
    } else {
      std::printf("%s\n", store.c_str());
    }
  });

  // ---- servers ----
  auto* servers = app->add_subcommand("servers", "the mail servers in the directory (GetExchangeServers)");
  static std::string pattern;
  servers->add_option("PATTERN", pattern, "server name to match; default all");
  servers->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err;
    std::vector<std::string> names;
    const int rc = client.GetExchangeServers(pattern, &names, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "servers");
      return;
    }
    for (const std::string& n : names) {
      if (opts->json) {
        JsonLine().Str("Server", n).Print();
      } else {
        std::printf("%s\n", n.c_str());
      }
    }
  });

  // ---- mailboxes ----
  auto* mailboxes = app->add_subcommand("mailboxes", "the mailboxes of a server, or of all (GetMailboxes)");
  static std::string mb_server;
  mailboxes->add_option("SERVER", mb_server, "mail server; default all servers");
  mailboxes->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err;
    std::vector<zuvsdk::Record> records;
    const int rc = client.GetMailboxes(mb_server, &records, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "mailboxes");
      return;
    }
    PrintRecords(*opts, records);
  });

  // ---- devices ----
  auto* devices = app->add_subcommand("devices", "the ActiveSync devices of a mailbox (GetASDevices)");
  struct DeviceArgs {
    std::string alias;
    std::string exchange_server;
    std::string mailbox_dn;
    std::string store_dn;
  };
  static DeviceArgs dv;
  devices->add_option("ALIAS", dv.alias, "mailbox name")->required();
  devices->add_option("--exchange-server", dv.exchange_server, "mail server of the mailbox");
  devices->add_option("--mailbox-dn", dv.mailbox_dn, "distinguished name of the mailbox; default: found by ALIAS in the directory");
  devices->add_option("--store-dn", dv.store_dn, "distinguished name of the mail store");
  devices->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err;
    std::string mailbox_dn = dv.mailbox_dn;
    std::string store_dn = dv.store_dn;
    if (mailbox_dn.empty()) {
      // The service opens the mailbox by its DN: find it among the
      // directory's mailboxes, whose DNs end in "/cn=<alias>". Without a
      // directory answer or a match the service picks the mailbox itself.
      std::vector<zuvsdk::Record> users;
      std::string lookup_err;
      if (client.GetMailboxes(dv.exchange_server, &users, &lookup_err) == zuvsdk::kOk) {
        for (const zuvsdk::Record& u : users) {
          const std::string dn = u.Get("MailBoxName");
          const size_t cn = dn.rfind('/');
          if (cn == std::string::npos || ::strcasecmp(dn.c_str() + cn + 1, ("cn=" + dv.alias).c_str()) != 0) continue;
          mailbox_dn = dn;
          if (store_dn.empty()) store_dn = u.Get("StoreDN");
          break;
        }
      }
    }
    std::vector<zuvsdk::Record> records;
    const int rc = client.GetASDevices(dv.exchange_server, dv.alias, mailbox_dn, store_dn, &records, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "devices");
      return;
    }
    PrintRecords(*opts, records);
  });
}

}  // namespace zuvctl
