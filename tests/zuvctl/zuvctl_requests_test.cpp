// zuvctl commands of the attachment, draft, contact and directory requests,
// and exit status 3 from a server that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "zuvctl_fixture.h"

namespace zuvctl_test {
namespace {

// Fails the test at once when zuvctl reported that the service did not answer.
#define ASSERT_ANSWERED(result) ASSERT_NE((result).status, 3) << "no answer: " << (result).err

class ZuvctlRequestsTest : public ZuvctlTest {
 protected:
  // zuvctl pointed at the service with a short time-out.
  static RunResult Try(std::vector<std::string> args) {
    std::vector<std::string> all = Target("5");
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(ZUVCTL_BINARY, all);
  }
  static std::string WriteScratch(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
};

// A server that accepts and never answers: every request command reports
// it within the time-out with exit status 3.
TEST(ZuvctlNoAnswerTest, ServerThatNeverAnswersGivesExitThreeWithinTheTimeout) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ASSERT_EQ(::listen(fd, SOMAXCONN), 0);
  // The kernel completes connections into the backlog; nobody reads them.
  const std::string port = std::to_string(ntohs(addr.sin_port));
  for (std::vector<std::string> cmd : std::vector<std::vector<std::string>>{
           {"ping"},
           {"servers"},
           {"get-table", "Inbox", "--columns", "PR_SUBJECT"},
           {"draft", "send", "00AB"},
           {"upload", "/etc/hostname"}}) {
    std::vector<std::string> args = {"--port", port, "--binport", port, "--timeout", "0.5"};
    args.insert(args.end(), cmd.begin(), cmd.end());
    RunResult r = RunProgram(ZUVCTL_BINARY, args);
    EXPECT_EQ(r.status, 3) << cmd[0] << ": " << r.err;
    EXPECT_NE(r.err.find("no "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("within"), std::string::npos) << r.err;
  }
  ::close(fd);
}

TEST_F(ZuvctlRequestsTest, AttachListSaveAndDeleteAnAttachment) {
  CreateFolder("Inbox/Attach");
  const std::string item = Deliver("Inbox/Attach", "with attachment");
  auto rows = CtlJson({"get-table", "Inbox/Attach", "--columns", "PR_SUBJECT"});
  ASSERT_EQ(rows.size(), 1u);
  const std::string key = rows[0]["key"];
  const std::string contents(3 << 20, 'q');  // large enough for the progress bar path
  const std::string file = WriteScratch("report.bin", contents);

  RunResult upload = Try({"upload", file});
  ASSERT_ANSWERED(upload);
  ASSERT_EQ(upload.status, 0) << upload.err;
  EXPECT_NE(upload.out.find("127.0.0.1."), std::string::npos) << upload.out;

  RunResult attach = Try({"--json", "attach", "--folder", "Inbox/Attach", "--item", key, file});
  ASSERT_ANSWERED(attach);
  ASSERT_EQ(attach.status, 0) << attach.err;
  auto attached = JsonLines(attach.out);
  ASSERT_EQ(attached.size(), 1u);
  const std::string num = attached[0]["AttachmentNum"];

  RunResult list = Try({"attachments", "--folder", "Inbox/Attach", "--item", key});
  ASSERT_ANSWERED(list);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("report.bin"), std::string::npos) << list.out;
  auto list_json = JsonLines(Try({"--json", "attachments", "--folder", "Inbox/Attach", "--item", key}).out);
  ASSERT_EQ(list_json.size(), 1u);
  EXPECT_EQ(list_json[0]["PR_ATTACH_LONG_FILENAME"], "report.bin");

  const std::string saved = (dir_ / "saved.bin").string();
  RunResult get = Try({"get-attachment", "--folder", "Inbox/Attach", "--item", key, num, "-o", saved});
  ASSERT_ANSWERED(get);
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(zuv_test::ReadFile(saved), contents);

  RunResult missing = Try({"get-attachment", "--folder", "Inbox/Attach", "--item", key, "99", "-o",
                           (dir_ / "none.bin").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.bin"));

  RunResult props = Try({"set-attachment", "--folder", "Inbox/Attach", "--item", key, num, "PR_ATTACH_MIME_TAG=text/csv"});
  ASSERT_ANSWERED(props);
  EXPECT_EQ(props.status, 0) << props.err;

  RunResult del = Try({"delete-attachment", "--folder", "Inbox/Attach", "--item", key, num});
  ASSERT_ANSWERED(del);
  ASSERT_EQ(del.status, 0) << del.err;
  EXPECT_TRUE(JsonLines(Try({"--json", "attachments", "--folder", "Inbox/Attach", "--item", key}).out).empty());
  (void)item;
}

TEST_F(ZuvctlRequestsTest, DraftCreateAttachSendAndDiscard) {
  const std::string body = WriteScratch("body.txt", "Hello from zuvctl.\n");
  RunResult create = Try({"--json", "draft", "create", "--to", "svc-zuv@example.com", "--subject", "zuvctl draft",
                          "--body-file", body});
  ASSERT_ANSWERED(create);
  ASSERT_EQ(create.status, 0) << create.err;
  auto made = JsonLines(create.out);
  ASSERT_EQ(made.size(), 1u);
  const std::string draft = made[0]["EntryID"];
  EXPECT_FALSE(draft.empty());

  RunResult attach = Try({"draft", "attach", draft, WriteScratch("notes.txt", "notes")});
  ASSERT_ANSWERED(attach);
  ASSERT_EQ(attach.status, 0) << attach.err;
  EXPECT_EQ(attach.out.rfind("attachment ", 0), 0u) << attach.out;

  RunResult send = Try({"draft", "send", draft});
  ASSERT_ANSWERED(send);
  ASSERT_EQ(send.status, 0) << send.err;

  RunResult other = Try({"--json", "draft", "create", "--subject", "to throw away"});
  ASSERT_EQ(other.status, 0) << other.err;
  const std::string second = JsonLines(other.out)[0]["EntryID"];
  RunResult discard = Try({"draft", "discard", second});
  ASSERT_ANSWERED(discard);
  EXPECT_EQ(discard.status, 0) << discard.err;
  // A discarded draft cannot be sent: the service's text comes back.
  RunResult gone = Try({"draft", "send", second});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("Cannot send message"), std::string::npos) << gone.err;
}

TEST_F(ZuvctlRequestsTest, AddContactPrintsItsEntryId) {
  RunResult add = Try({"--json", "add-contact", "--display-name", "Dana Example", "--given-name", "Dana", "--surname",
                       "Example", "--url", "https://example.com"});
  ASSERT_ANSWERED(add);
  ASSERT_EQ(add.status, 0) << add.err;
  auto made = JsonLines(add.out);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_FALSE(made[0]["EntryID"].empty());
  auto rows = CtlJson({"get-table", "Contacts", "--columns", "PR_DISPLAY_NAME"});
  bool found = false;
  for (const auto& r : rows) found = found || r.at("PR_DISPLAY_NAME") == "Dana Example";
  EXPECT_TRUE(found);
}

TEST_F(ZuvctlRequestsTest, DirectoryCommandsReportFailuresOfTheDirectory) {
  // The harness's directory refuses connections: every lookup fails with the
  // service's own text and exit 1, never a hang.
  RunResult resolve = Try({"resolve", "nobody@example.com"});
  ASSERT_ANSWERED(resolve);
  EXPECT_EQ(resolve.status, 1);
  EXPECT_NE(resolve.err.find("Cannot resolve email"), std::string::npos) << resolve.err;

  RunResult cn = Try({"resolve", "--cn", "Nobody"});
  ASSERT_ANSWERED(cn);
  EXPECT_EQ(cn.status, 1);
  EXPECT_NE(cn.err.find("Cannot resolve email"), std::string::npos) << cn.err;

  RunResult info = Try({"mailbox-info", "nobody@example.com"});
  ASSERT_ANSWERED(info);
  EXPECT_EQ(info.status, 1);
  EXPECT_NE(info.err.find("Cannot resolve e-amil"), std::string::npos) << info.err;

  RunResult servers = Try({"servers"});
  ASSERT_ANSWERED(servers);
  EXPECT_EQ(servers.status, 1);
  EXPECT_NE(servers.err.find("Cannot get the exchange server list"), std::string::npos) << servers.err;

  RunResult mailboxes = Try({"mailboxes"});
  ASSERT_ANSWERED(mailboxes);
  EXPECT_EQ(mailboxes.status, 1);
  EXPECT_NE(mailboxes.err.find("Cannot get mailboxes"), std::string::npos) << mailboxes.err;
}

TEST_F(ZuvctlRequestsTest, DevicesOfAMailboxWithoutSyncDataIsAnEmptyList) {
  RunResult devices = Try({"devices", zuv_test::kServiceAlias});
  ASSERT_ANSWERED(devices);
  ASSERT_EQ(devices.status, 0) << devices.err;
  EXPECT_EQ(devices.out, "(none)\n");
  RunResult json = Try({"--json", "devices", zuv_test::kServiceAlias});
  EXPECT_EQ(json.status, 0);
  EXPECT_TRUE(json.out.empty());
}

}  // namespace
}  // namespace zuvctl_test
