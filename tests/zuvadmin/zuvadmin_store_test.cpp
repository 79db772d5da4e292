// Tests of zuvadmin's store commands: a store built from scratch, the store
// path rule, set-property's value parsing, help and every error exit.
#include <algorithm>
#include <fstream>

#include "zuvadmin_fixture.h"

namespace zuvadmin_test {
namespace {

namespace fs = std::filesystem;

const char kPlainMessage[] =
    "From: Ann Smith <ann@example.net>\n"
    "To: John Doe <jdoe@example.org>\n"
    "Subject: status\n"
    "Date: Mon, 01 Jan 2024 09:00:00 +0000\n"
    "\n"
    "All fine.\n";

size_t IndexOf(const std::vector<std::map<std::string, std::string>>& rows, const std::string& path) {
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].at("path") == path) return i;
  }
  return rows.size();
}

TEST_F(ZuvadminTest, StoreBuiltFromScratchHoldsMailboxesFoldersAndDevices) {
  RunResult first = Admin({"init"}), again = Admin({"init"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, store_ + "\n");
  EXPECT_EQ(again.out, first.out) << "init is idempotent";
  ASSERT_EQ(Admin({"add-server", "MAIL01"}).status, 0);
  ASSERT_EQ(Admin({"add-server", "cas.example.org", "--cas"}).status, 0);
  RunResult box = Admin({"add-mailbox", "jdoe", "--display-name", "John Doe", "--smtp", "jdoe@example.org", "--smtp",
                         "john@example.org", "--legacy-dn", "/o=Example/cn=jdoe", "--server", "MAIL01"});
  ASSERT_EQ(box.status, 0) << box.err;
  const std::string store_id = box.out.substr(0, box.out.size() - 1);
  EXPECT_EQ(store_id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << store_id;

  auto boxes = AdminJson({"list-mailboxes"});
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0]["alias"], "jdoe");
  EXPECT_EQ(boxes[0]["display_name"], "John Doe");
  EXPECT_EQ(boxes[0]["smtp"], R"(["jdoe@example.org","john@example.org"])");
  EXPECT_EQ(boxes[0]["legacy_dn"], "/o=Example/cn=jdoe");
  EXPECT_EQ(boxes[0]["server"], "MAIL01");
  EXPECT_EQ(boxes[0]["entry_id"], store_id);
  EXPECT_EQ(boxes[1]["public"], "true");

  // Missing folders are created along the path; a second call finds them.
  RunResult made = Admin({"create-folder", "jdoe", "Inbox/Projects/2026"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(Admin({"create-folder", "jdoe", "inbox/projects/2026"}).out, made.out);
  ASSERT_EQ(Admin({"create-folder", "--public", "Shared", "--class", "IPF.Contact"}).status, 0);
  ASSERT_EQ(Admin({"add-device", "jdoe", "Phone1"}).status, 0);
  RunResult twice = Admin({"add-device", "jdoe", "phone1"});
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.err.find("device phone1 exists"), std::string::npos) << twice.err;

  auto folders = AdminJson({"list-folders", "jdoe"});
  const size_t inbox = IndexOf(folders, "Inbox"), projects = IndexOf(folders, "Inbox/Projects"),
               year = IndexOf(folders, "Inbox/Projects/2026"), sync = IndexOf(folders, "/ExchangeSyncData"),
               device = IndexOf(folders, "/ExchangeSyncData/Phone1"),
               status = IndexOf(folders, "/ExchangeSyncData/Phone1/SyncStatus");
  ASSERT_LT(status, folders.size());
  EXPECT_TRUE(inbox < projects && projects < year && year < sync && sync < device && device < status)
      << "each folder precedes its subfolders, the IPM subtree the root's folders";
  EXPECT_EQ(folders[year]["entry_id"] + "\n", made.out);
  EXPECT_EQ(folders[projects]["child_count"], "1");
  EXPECT_EQ(folders[projects]["class"], "IPF.Note");
  EXPECT_EQ(folders[device]["child_count"], "1");
  for (const char* standard : {"Outbox", "Sent Items", "Deleted Items", "Drafts", "Contacts", "Calendar"}) {
    EXPECT_LT(IndexOf(folders, standard), folders.size()) << standard;
  }
  auto shared = AdminJson({"list-folders", "--public"});
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(shared[0]["path"], "Shared");
  EXPECT_EQ(shared[0]["class"], "IPF.Contact");
}

TEST_F(ZuvadminTest, DefaultStorePathFollowsTheServiceRule) {
  const fs::path home = dir_ / "home";
  const std::string registry = WriteFile("registry.reg",
                                         "Windows Registry Editor Version 5.00\n\n"
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\n"
                                         "\"StorePath\"=\"" + (dir_ / "from-registry.db").string() + "\"\n");
  RunResult r = AdminWithEnv({"init"}, {"TOVANIX_REGISTRY=" + registry, "ZUV_HOME=" + home.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, (dir_ / "from-registry.db").string() + "\n");
  EXPECT_EQ(r.err, "") << "the settings reader's log lines stay off stderr";

  r = AdminWithEnv({"init"}, {"TOVANIX_REGISTRY=" + (dir_ / "none.reg").string(), "ZUV_HOME=" + home.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, (home / "data" / "zuvstore.db").string() + "\n");
  EXPECT_TRUE(fs::exists(home / "data" / "zuvstore.db"));
}

TEST_F(ZuvadminTest, EveryCommandHasHelp) {
  for (const char* command : {"init", "add-server", "add-mailbox", "list-mailboxes", "list-folders", "create-folder",
                              "deliver", "import-mbox", "list-messages", "set-property", "delete-message",
                              "add-device"}) {
    RunResult r = Admin({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find(std::string("Usage: zuvadmin ") + command), std::string::npos) << r.out;
  }
  RunResult top = Admin({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("Exit status"), std::string::npos);
}

TEST_F(ZuvadminTest, SetPropertyParsesValuesByTypeAndChangesNothingOnAnyError) {
  MakeMailbox();
  RunResult delivered = Admin({"deliver", "jdoe", "--folder", "Inbox", "-"}, kPlainMessage);
  ASSERT_EQ(delivered.status, 0) << delivered.err;
  const std::string id = delivered.out.substr(0, delivered.out.size() - 1);

  auto set = AdminJson({"set-property", "jdoe", id, "PR_SUBJECT=Grüße, all", "PR_IMPORTANCE=0x2",
                        "PR_READ_RECEIPT_REQUESTED=yes", "PR_MESSAGE_DELIVERY_TIME=2024-05-01T08:00:00+02:00",
                        "0x6001101E=a,b\\,c", "PR_SENTMAIL_ENTRYID=00ff", "PidLidReminderSet=true",
                        "PR_NORMALIZED_SUBJECT_W=Ünï"});
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0]["entry_id"], id);
  const std::vector<std::string> columns = {"PR_SUBJECT", "PR_IMPORTANCE", "PR_READ_RECEIPT_REQUESTED",
                                            "PR_MESSAGE_DELIVERY_TIME", "0x6001101E", "PR_SENTMAIL_ENTRYID",
                                            "PidLidReminderSet", "PR_NORMALIZED_SUBJECT"};
  std::string joined;
  for (const std::string& c : columns) joined += (joined.empty() ? "" : ",") + c;
  auto rows = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns", joined});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["entry_id"], id);
  EXPECT_EQ(rows[0]["PR_SUBJECT"], "Grüße, all");
  EXPECT_EQ(rows[0]["PR_IMPORTANCE"], "2");
  EXPECT_EQ(rows[0]["PR_READ_RECEIPT_REQUESTED"], "true");
  EXPECT_EQ(rows[0]["PR_MESSAGE_DELIVERY_TIME"], "2024-05-01T06:00:00Z");
  EXPECT_EQ(rows[0]["0x6001101E"], R"(["a","b,c"])");
  EXPECT_EQ(rows[0]["PR_SENTMAIL_ENTRYID"], "00FF");
  EXPECT_EQ(rows[0]["PidLidReminderSet"], "true");
  EXPECT_EQ(rows[0]["PR_NORMALIZED_SUBJECT"], "Ünï");

  // One bad assignment among good ones: the message keeps its values.
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"PR_SUBJECT=changed", "PR_MESSAGE_SIZE=1"},
        {"PR_SUBJECT=changed", "PR_IMPORTANCE=high"},
        {"PR_SUBJECT=changed", "PR_CLIENT_SUBMIT_TIME=yesterday"}}) {
    std::vector<std::string> args{"set-property", "jdoe", id};
    args.insert(args.end(), bad.begin(), bad.end());
    RunResult r = Admin(args);
    EXPECT_EQ(r.status, 1) << bad[1];
    EXPECT_NE(r.err.find(bad[1].substr(0, bad[1].find('='))), std::string::npos) << r.err;
  }
  rows = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns", "PR_SUBJECT"});
  EXPECT_EQ(rows[0]["PR_SUBJECT"], "Grüße, all");
}

TEST_F(ZuvadminTest, ErrorsGoToStderrWithNonZeroStatus) {
  // Outside a store: a missing one is not created, a foreign file is refused.
  const std::string missing = (dir_ / "missing.db").string();
  RunResult r = AdminWithEnv({"--store", missing, "list-mailboxes"}, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no store at " + missing), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(missing));
  r = AdminWithEnv({"--store", WriteFile("text.db", "not a database at all, just text\n"), "list-mailboxes"}, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open the store"), std::string::npos) << r.err;

  MakeMailbox();
  const std::string eml = WriteFile("plain.eml", kPlainMessage);
  RunResult two = Admin({"deliver", "jdoe", "--folder", "Inbox", eml, eml});
  ASSERT_EQ(two.status, 0) << two.err;
  const std::string id = two.out.substr(0, two.out.find('\n'));
  const std::string gone = two.out.substr(id.size() + 1, id.size());
  ASSERT_EQ(Admin({"delete-message", "jdoe", gone}).status, 0);
  const std::string inbox = FolderEntryId("jdoe", "Inbox");
  const std::string nowhere = (dir_ / "nowhere.eml").string();

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"list-folders", "nobody"}, 1, "no mailbox nobody"},
      {{"deliver", "nobody", "--folder", "Inbox", eml}, 1, "no mailbox nobody"},
      {{"list-messages", "jdoe", "--folder", "Nope"}, 1, "no folder Nope"},
      {{"set-property", "jdoe", "XYZ", "PR_SUBJECT=x"}, 1, "bad entry ID XYZ"},
      {{"set-property", "jdoe", "0011223344", "PR_SUBJECT=x"}, 1, "bad entry ID 0011223344"},
      {{"delete-message", "jdoe", gone}, 1, "no message with entry ID " + gone},
      {{"delete-message", "jdoe", inbox}, 1, "is not a message"},
      {{"set-property", "jdoe", id, "PR_NOPE=1"}, 1, "unknown property name PR_NOPE"},
      {{"set-property", "jdoe", id, "PR_SUBJECT"}, 1, "not NAME=VALUE"},
      {{"set-property", "jdoe", id, "PR_EMS_AB_PROXY_ADDRESSES=x"}, 1, "differs per store"},
      {{"list-messages", "jdoe", "--folder", "Inbox", "--columns", "PR_NOPE"}, 1, "unknown property name PR_NOPE"},
      {{"deliver", "jdoe", "--folder", "Inbox", nowhere}, 3, "cannot read " + nowhere},
      {{"import-mbox", "jdoe", "--folder", "Inbox", nowhere}, 1, "cannot read " + nowhere},
      {{"import-mbox", "jdoe", "--folder", "Inbox", eml}, 1, "is not an mbox file"},
      {{"add-mailbox", "jdoe", "--display-name", "J", "--smtp", "j2@example.org", "--legacy-dn", "/o=x", "--server",
        "MAIL01"},
       1, "mailbox jdoe exists"},
      {{"add-mailbox", "ann", "--display-name", "Ann", "--smtp", "ann@example.org", "--legacy-dn", "/o=x", "--server",
        "NOSUCH"},
       1, "NOSUCH"},
      {{"add-server", "MAIL01"}, 1, "server MAIL01 exists"},
      {{"list-folders", "jdoe", "--public"}, 1, "not both"},
      {{"list-folders"}, 1, "give a mailbox alias or --public"},
      {{"create-folder", "jdoe"}, 1, "needs a folder PATH"},
      {{"add-device", "jdoe", "a/b"}, 1, "without '/'"},
      {{}, 2, "subcommand is required"},
      {{"bogus"}, 2, "unknown command \"bogus\""},
      {{"--json", "lsit-mailboxes"}, 2, "unknown command \"lsit-mailboxes\""},
      {{"add-mailbox", "ann"}, 2, "--display-name is required"},
      {{"deliver", "jdoe", eml}, 2, "--folder is required"},
  };
  for (const Case& c : cases) {
    r = Admin(c.args);
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line << r.err;
    EXPECT_EQ(r.err.rfind("zuvadmin: ", 0), 0u) << line << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << line << "\n" << r.err;
    EXPECT_EQ(r.out, "") << line;
  }
}

}  // namespace
}  // namespace zuvadmin_test
