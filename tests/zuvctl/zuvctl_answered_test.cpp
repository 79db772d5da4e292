// zuvctl against the real service: folders, tables, item writes, watch and
// the exit statuses, in text and JSON output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "zuvctl_fixture.h"

namespace zuvctl_test {
namespace {

bool IsHex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

TEST_F(ZuvctlTest, FolderCommandsInTextAndJson) {
  CreateFolder("Inbox/Tree/Leaf");

  RunResult tree = Ctl({"folders"});
  ASSERT_EQ(tree.status, 0) << tree.err;
  // The tree indents children under their parents.
  EXPECT_NE(tree.out.find("\n  Inbox"), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("\n      Leaf"), std::string::npos) << tree.out;

  auto folders = CtlJson({"folders", "Inbox"});
  std::map<std::string, std::string> leaf;
  for (const auto& f : folders) {
    if (f.at("Path") == "Tree/Leaf") leaf = f;
  }
  ASSERT_FALSE(leaf.empty());
  EXPECT_EQ(leaf["Depth"], "1");
  EXPECT_TRUE(IsHex(leaf["EntryID"]));

  RunResult id = Ctl({"entry-id", "Inbox/Tree/Leaf"});
  ASSERT_EQ(id.status, 0) << id.err;
  EXPECT_EQ(id.out, leaf["EntryID"] + "\n");
  auto id_json = CtlJson({"entry-id", "Inbox/Tree/Leaf"});
  ASSERT_EQ(id_json.size(), 1u);
  EXPECT_EQ(id_json[0]["EntryID"], leaf["EntryID"]);

  // folder-info by path and by entry ID name the same folder.
  RunResult info = Ctl({"folder-info", "Inbox/Tree"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Name:          Tree"), std::string::npos) << info.out;
  auto info_json = CtlJson({"folder-info", leaf["EntryID"]});
  ASSERT_EQ(info_json.size(), 1u);
  EXPECT_EQ(info_json[0]["Name"], "Leaf");
  EXPECT_EQ(info_json[0]["MessageCount"], "0");

  auto created = CtlJson({"create-folder", "Inbox/Tree/Made", "--class", "IPF.Note"});
  ASSERT_EQ(created.size(), 1u);
  EXPECT_TRUE(IsHex(created[0]["EntryID"]));
  auto again = CtlJson({"entry-id", "Inbox/Tree/Made"});
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0]["EntryID"], created[0]["EntryID"]);

  RunResult missing = Ctl({"entry-id", "Inbox/No such folder"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Cannot get EntryID for folder"), std::string::npos) << missing.err;
  EXPECT_TRUE(missing.out.empty());
}

TEST_F(ZuvctlTest, GetTableTypesOutputAndSelectsRows) {
  CreateFolder("Inbox/Reads");
  Deliver("Inbox/Reads", "first report");
  Deliver("Inbox/Reads", "second report");

  RunResult text = Ctl({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT,PR_MESSAGE_SIZE,PR_MESSAGE_DELIVERY_TIME"});
  ASSERT_EQ(text.status, 0) << text.err;
  auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), 4u) << text.out;
  EXPECT_EQ(lines[0].rfind("KEY", 0), 0u);
  EXPECT_NE(lines[0].find("PR_MESSAGE_DELIVERY_TIME"), std::string::npos);
  EXPECT_NE(text.out.find("first report"), std::string::npos);
  EXPECT_EQ(lines[3], "(2 rows)");
  // Times are shown to people as UTC times.
  EXPECT_NE(lines[1].find("Z"), std::string::npos) << lines[1];

  auto rows = CtlJson({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT,PR_MESSAGE_SIZE"});
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    EXPECT_TRUE(IsHex(row.at("key")));
    EXPECT_NE(row.at("PR_MESSAGE_SIZE"), "<other>");  // a JSON number
    EXPECT_NE(row.at("PR_MESSAGE_SIZE"), "");
  }

  auto picked = CtlJson({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT", "--where",
                         "PR_SUBJECT=second report"});
  ASSERT_EQ(picked.size(), 1u);
  EXPECT_EQ(picked[0]["PR_SUBJECT"], "second report");

  auto page = CtlJson({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT", "--start", "1", "--count", "1"});
  EXPECT_EQ(page.size(), 1u);

  // A value that does not fit its column's type is a command-line error.
  RunResult bad = Ctl({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT", "--where", "PR_MESSAGE_SIZE=big"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("PR_MESSAGE_SIZE"), std::string::npos) << bad.err;
  RunResult unknown = Ctl({"get-table", "Inbox/Reads", "--columns", "PR_SUBJECT", "--where", "Mystery=1"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("Mystery is not known"), std::string::npos) << unknown.err;
}

TEST_F(ZuvctlTest, SetCreatesAndChangesItemsAndDeleteItemRemovesThem) {
  CreateFolder("Inbox/Writes");
  auto made = CtlJson({"set", "Inbox/Writes", "PR_SUBJECT=made by zuvctl", "PR_IMPORTANCE=2"});
  ASSERT_EQ(made.size(), 1u);
  const std::string item = made[0]["EntryID"];
  EXPECT_TRUE(IsHex(item));
  EXPECT_EQ(made[0]["Created"], "true");

  RunResult changed = Ctl({"set", "Inbox/Writes", "--item", item, "PR_SUBJECT=changed by zuvctl"});
  ASSERT_EQ(changed.status, 0) << changed.err;
  EXPECT_EQ(changed.out, item + "\n");

  auto rows = CtlJson({"get-table", "Inbox/Writes", "--columns", "PR_SUBJECT,PR_IMPORTANCE"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["PR_SUBJECT"], "changed by zuvctl");
  EXPECT_EQ(rows[0]["PR_IMPORTANCE"], "2");

  RunResult del = Ctl({"delete-item", "Inbox/Writes", item});
  ASSERT_EQ(del.status, 0) << del.err;
  EXPECT_EQ(del.out, "deleted " + item + "\n");
  EXPECT_TRUE(CtlJson({"get-table", "Inbox/Writes", "--columns", "PR_SUBJECT"}).empty());

  RunResult bad = Ctl({"set", "Inbox/Writes", "PR_SUBJECT"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("not NAME=VALUE"), std::string::npos) << bad.err;
}

TEST_F(ZuvctlTest, CustomPropertiesRegisterNamesUsableInWrites) {
  CreateFolder("Inbox/Custom");
  auto reg = CtlJson({"custom-properties", "Inbox/Custom", "ProjectCode-30", "Budget-3"});
  ASSERT_EQ(reg.size(), 2u);
  EXPECT_EQ(reg[0]["Name"], "ProjectCode");
  EXPECT_EQ(reg[1]["Type"], "3");
  auto made = CtlJson({"set", "Inbox/Custom", "PR_SUBJECT=tagged", "ProjectCode-30=ZX-9"});
  ASSERT_EQ(made.size(), 1u);
  auto rows = CtlJson({"get-table", "Inbox/Custom", "--columns", "PR_SUBJECT,ProjectCode"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["ProjectCode"], "ZX-9");
  EXPECT_EQ(Ctl({"custom-properties", "Inbox/Custom", "NoType"}).status, 2);
}

TEST_F(ZuvctlTest, PingAnswersInBothForms) {
  RunResult text = Ctl({"--client-id", "nobody-known", "ping"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("not known (ErrorNumber 3)"), std::string::npos) << text.out;
  auto json = CtlJson({"--client-id", "nobody-known", "ping"});
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["ErrorNumber"], "3");
  EXPECT_EQ(json[0]["Known"], "false");
}

TEST_F(ZuvctlTest, WatchPrintsADeliveryMadeWhileItRuns) {
  CreateFolder("Inbox/Watched");
  Deliver("Inbox/Watched", "already there");
  std::vector<std::string> args = Target();
  for (const char* a : {"--json", "--client-id", "watcher-1", "watch", "Inbox/Watched", "--columns", "PR_SUBJECT"}) {
    args.push_back(a);
  }
  Background watch(ZUVCTL_BINARY, args);
  ASSERT_TRUE(watch.WaitForErr("Ctrl-C to stop")) << watch.err();
  EXPECT_NE(watch.out().find("\"already there\""), std::string::npos) << watch.out();

  Deliver("Inbox/Watched", "pushed while watching");
  ASSERT_TRUE(watch.WaitForOut("pushed while watching")) << watch.err();
  EXPECT_EQ(watch.Interrupt(), 0) << watch.err();

  bool added = false;
  for (const auto& line : JsonLines(watch.out())) {
    if (line.count("PR_SUBJECT") && line.at("PR_SUBJECT") == "pushed while watching") {
      added = line.at("event") == "added";
      EXPECT_TRUE(IsHex(line.at("key")));
    }
  }
  EXPECT_TRUE(added) << watch.out();
  // Close on Ctrl-C removed the client's records.
  auto ping = CtlJson({"--client-id", "watcher-1", "ping"});
  ASSERT_EQ(ping.size(), 1u);
  EXPECT_EQ(ping[0]["ErrorNumber"], "3");
}

TEST_F(ZuvctlTest, WatchInTextShowsEventsAndKeys) {
  CreateFolder("Inbox/WatchedText");
  std::vector<std::string> args = Target();
  for (const char* a : {"watch", "Inbox/WatchedText", "--columns", "PR_SUBJECT"}) args.push_back(a);
  Background watch(ZUVCTL_BINARY, args);
  ASSERT_TRUE(watch.WaitForErr("Ctrl-C to stop")) << watch.err();
  Deliver("Inbox/WatchedText", "text push");
  ASSERT_TRUE(watch.WaitForOut("PR_SUBJECT=text push")) << watch.err();
  EXPECT_EQ(watch.Interrupt(), 0);
  EXPECT_EQ(watch.out().rfind("added", 0), 0u) << watch.out();
}

TEST_F(ZuvctlTest, ExitStatusesOfUsageAndConnectionFailures) {
  RunResult unknown = RunProgram(ZUVCTL_BINARY, {"frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown command \"frobnicate\""), std::string::npos) << unknown.err;
  RunResult draft = RunProgram(ZUVCTL_BINARY, {"draft", "sned", "00AB"});
  EXPECT_EQ(draft.status, 2);
  EXPECT_NE(draft.err.find("unknown command \"draft sned\""), std::string::npos) << draft.err;
  EXPECT_EQ(RunProgram(ZUVCTL_BINARY, {}).status, 2);
  EXPECT_EQ(RunProgram(ZUVCTL_BINARY, {"get-table", "Inbox"}).status, 2);  // --columns missing
  EXPECT_EQ(RunProgram(ZUVCTL_BINARY, {"--help"}).status, 0);
  RunResult help = RunProgram(ZUVCTL_BINARY, {"watch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--listen"), std::string::npos);

  // Nothing listens on a port that was free a moment ago.
  RunResult refused = RunProgram(ZUVCTL_BINARY, {"--port", std::to_string(zuv_test::FreePort()), "ping"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("cannot connect"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace zuvctl_test
