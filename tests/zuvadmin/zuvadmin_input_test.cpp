// zuvadmin as a new user meets it: whole long values in list-messages, any
// message with a header block accepted, text without one refused.
#include <algorithm>

#include "mapi/mapitags.h"
#include "zuvadmin_fixture.h"

namespace zuvadmin_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t LineCount(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

TEST_F(ZuvadminTest, ListMessagesShowsValuesTheTableCut) {
  MakeMailbox();
  // 300 characters, two-byte ones among them, so a byte count is not enough.
  std::string subject;
  for (int i = 0; i < 30; ++i) subject += "Grüße-" + std::to_string(i % 10) + "abc";
  ASSERT_EQ(subject.size() - 60, 300u);  // 60 two-byte characters
  const std::string exact(255, 's');     // as long as the table's cut: unchanged
  RunResult r = Admin({"deliver", "jdoe", "--folder", "Inbox",
                       WriteFile("long.eml", "From: a@example.org\nSubject: " + subject + "\n\nbody\n"),
                       WriteFile("exact.eml", "From: a@example.org\nSubject: " + exact + "\n\nbody\n")});
  ASSERT_EQ(r.status, 0) << r.err;

  auto rows = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns", "PR_SUBJECT,PR_MESSAGE_SIZE"});
  ASSERT_EQ(rows.size(), 2u);
  std::vector<std::string> subjects{rows[0]["PR_SUBJECT"], rows[1]["PR_SUBJECT"]};
  EXPECT_NE(std::find(subjects.begin(), subjects.end(), subject), subjects.end()) << subjects[0];
  EXPECT_NE(std::find(subjects.begin(), subjects.end(), exact), subjects.end());

  RunResult text = Admin({"list-messages", "jdoe", "--folder", "Inbox"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, subject)) << text.out;
}

TEST_F(ZuvadminTest, DeliverAcceptsEveryHeaderBlockAndRefusesOtherText) {
  MakeMailbox();
  const std::string mime_only =
      "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\nA body with no address at all.\n";
  const std::string custom_only = "X-Report-Id: 42\n\nnumbers\n";
  RunResult ok = Admin({"deliver", "jdoe", "--folder", "Inbox", WriteFile("mime.eml", mime_only),
                        WriteFile("custom.eml", custom_only)});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(LineCount(ok.out), 2u) << ok.out;
  EXPECT_TRUE(ok.err.empty()) << ok.err;

  auto rows = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns", "PR_BODY"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0]["PR_BODY"] == "A body with no address at all.\n" ||
              rows[1]["PR_BODY"] == "A body with no address at all.\n");

  // Prose, a leading blank line and a first line with a space before the
  // colon are not header blocks.
  for (const std::string& text : {std::string("just some words\nand more\n"), std::string("\nFrom: a@b\n\nx\n"),
                                  std::string("Dear team: hello\n\nbody\n")}) {
    RunResult bad = Admin({"deliver", "jdoe", "--folder", "Inbox", WriteFile("bad.eml", text)});
    EXPECT_EQ(bad.status, 3) << text << bad.err;  // every file skipped
    EXPECT_TRUE(Contains(bad.err, "not a mail message")) << bad.err;
  }
}

TEST_F(ZuvadminTest, ImportMboxKeepsMimeOnlyMessages) {
  MakeMailbox();
  const std::string mbox =
      "From sender@example.org Mon Jan  1 00:00:00 2024\n"
      "Content-Type: text/plain\n\nfirst\n\n"
      "From sender@example.org Mon Jan  1 00:00:01 2024\n"
      "no header here\n\nsecond\n\n"
      "From sender@example.org Mon Jan  1 00:00:02 2024\n"
      "Subject: third\n\nthird\n\n";
  RunResult r = Admin({"import-mbox", "jdoe", "--folder", "Inbox", WriteFile("box.mbox", mbox)});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.out, "imported 2, skipped 1\n") << r.err;
  EXPECT_TRUE(Contains(r.err, "message 2 (byte ")) << r.err;
}

}  // namespace
}  // namespace zuvadmin_test
