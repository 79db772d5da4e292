// Tests of zuvadmin's mail import: delivery of real-world message shapes,
// HTML kept as RTF for stores without HTML, and mbox import with its skips,
// quoting, dates and progress output.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mapi/mapitags.h"
#include "zuvadmin_fixture.h"

namespace zuvadmin_test {
namespace {

// multipart/alternative; encoded words in UTF-8 (B) and ISO-8859-1 (Q);
// a quoted-printable Latin-1 text part beside a UTF-8 HTML part.
const char kAlternative[] =
    "From: =?ISO-8859-1?Q?J=F6rg_M=FCller?= <joerg@example.net>\r\n"
    "To: John Doe <jdoe@example.org>, team@example.org\r\n"
    "Cc: Boss <boss@example.org>\r\n"
    "Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=\r\n"
    "Date: Tue, 02 Jan 2024 10:11:12 +0100\r\n"
    "Message-ID: <alt-1@example.net>\r\n"
    "In-Reply-To: <earlier@example.org>\r\n"
    "Importance: high\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=\"alt\"\r\n"
    "\r\n"
    "--alt\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "Gr=FC=DFe aus K=F6ln\r\n"
    "--alt\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<p style=\"x{}\">Gr\xC3\xBC\xC3\x9F" "e</p>\r\n"
    "--alt--\r\n";

// An HTML body with an inline image, a PDF and a forwarded message.
const char kAttachments[] =
    "From: Ann Smith <ann@example.net>\n"
    "To: jdoe@example.org\n"
    "Subject: Re: the report\n"
    "Date: Wed, 03 Jan 2024 08:00:00 +0000\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"mix\"\n"
    "\n"
    "--mix\n"
    "Content-Type: multipart/related; boundary=\"rel\"\n"
    "\n"
    "--rel\n"
    "Content-Type: text/html; charset=us-ascii\n"
    "\n"
    "<img src=\"cid:logo@example.net\">\n"
    "--rel\n"
    "Content-Type: image/png; name=\"logo.png\"\n"
    "Content-ID: <logo@example.net>\n"
    "Content-Disposition: inline; filename=\"logo.png\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "iVBORw0KGgo=\n"
    "--rel--\n"
    "--mix\n"
    "Content-Type: application/pdf; name=\"report.pdf\"\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "JVBERi0xLjQK\n"
    "--mix\n"
    "Content-Type: message/rfc822\n"
    "\n"
    "From: old@example.org\n"
    "Subject: Forwarded\n"
    "\n"
    "old text\n"
    "--mix--\n";

// No subject; an unlabelled 8-bit Latin-1 body.
const char kNoSubject[] =
    "From: nobody@example.org\n"
    "To: jdoe@example.org\n"
    "Date: Thu, 04 Jan 2024 12:00:00 +0000\n"
    "\n"
    "Caf\xE9 at noon\n";

const char kMalformed[] = "this is not a message\njust some text\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(ZuvadminTest, DeliverStoresRealWorldMessagesAndSkipsMalformedOnes) {
  MakeMailbox();
  RunResult r = Admin({"deliver", "jdoe", "--folder", "Inbox", WriteFile("alt.eml", kAlternative),
                       WriteFile("attach.eml", kAttachments), WriteFile("bad.eml", kMalformed), "-"},
                      kNoSubject);
  EXPECT_EQ(r.status, 3) << "a skipped message makes the run partial";
  EXPECT_TRUE(Contains(r.err, "bad.eml: skipped: not a mail message")) << r.err;
  const std::vector<std::string> ids = Lines(r.out);
  ASSERT_EQ(ids.size(), 3u) << r.out;

  MapiPtr<IMessage> alt = OpenMessage("jdoe", ids[0]);
  ASSERT_TRUE(alt);
  EXPECT_EQ(PropText(alt.get(), PR_MESSAGE_CLASS), "IPM.Note");
  EXPECT_EQ(PropText(alt.get(), PR_SUBJECT), "Grüße aus Köln");
  EXPECT_EQ(PropText(alt.get(), PR_SENDER_NAME), "Jörg Müller");
  EXPECT_EQ(PropText(alt.get(), PR_SENDER_EMAIL_ADDRESS), "joerg@example.net");
  EXPECT_EQ(PropText(alt.get(), PR_INTERNET_MESSAGE_ID), "<alt-1@example.net>");
  EXPECT_EQ(PropText(alt.get(), PR_IMPORTANCE), "2");
  EXPECT_TRUE(Contains(PropText(alt.get(), PR_BODY), "Grüße aus Köln"));
  EXPECT_TRUE(Contains(PropText(alt.get(), PR_BODY_HTML), "<p style=\"x{}\">Grüße</p>"));
  EXPECT_EQ(std::stoi(PropText(alt.get(), PR_MESSAGE_FLAGS)) & MSGFLAG_READ, 0) << "delivered unread";
  EXPECT_EQ(PropText(alt.get(), PR_HASATTACH), "0");
  MapiPtr<IMAPITable> recipients;
  ASSERT_EQ(alt->GetRecipientTable(0, recipients.put()), S_OK);
  EXPECT_EQ(TableRows(recipients.get(), {PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_RECIPIENT_TYPE}),
            (std::vector<std::vector<std::string>>{{"John Doe", "jdoe@example.org", "1"},
                                                   {"team@example.org", "team@example.org", "1"},
                                                   {"Boss", "boss@example.org", "2"}}));
  auto listed = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns",
                           "PR_SUBJECT,PR_CLIENT_SUBMIT_TIME,PR_MESSAGE_DELIVERY_TIME"});
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0]["PR_CLIENT_SUBMIT_TIME"], "2024-01-02T09:11:12Z");
  EXPECT_NE(listed[0]["PR_MESSAGE_DELIVERY_TIME"], "null");

  MapiPtr<IMessage> att = OpenMessage("jdoe", ids[1]);
  ASSERT_TRUE(att);
  EXPECT_EQ(PropText(att.get(), PR_SUBJECT), "Re: the report");
  EXPECT_EQ(PropText(att.get(), PR_NORMALIZED_SUBJECT), "the report");
  EXPECT_TRUE(Contains(PropText(att.get(), PR_BODY_HTML), "cid:logo@example.net"));
  EXPECT_EQ(PropText(att.get(), PR_BODY), "<missing>");
  MapiPtr<IMAPITable> table;
  ASSERT_EQ(att->GetAttachmentTable(0, table.put()), S_OK);
  EXPECT_EQ(TableRows(table.get(), {PR_ATTACH_LONG_FILENAME, PR_ATTACH_MIME_TAG, PR_ATTACH_CONTENT_ID,
                                    PR_ATTACHMENT_HIDDEN}),
            (std::vector<std::vector<std::string>>{{"logo.png", "image/png", "logo@example.net", "1"},
                                                   {"report.pdf", "application/pdf", "<missing>", "<missing>"},
                                                   {"Forwarded.eml", "message/rfc822", "<missing>", "<missing>"}}));
  MapiPtr<IAttach> pdf, forwarded;
  ASSERT_EQ(att->OpenAttach(1, nullptr, 0, pdf.put()), S_OK);
  EXPECT_EQ(StreamText(pdf.get(), PR_ATTACH_DATA_BIN), "%PDF-1.4\n");
  ASSERT_EQ(att->OpenAttach(2, nullptr, 0, forwarded.put()), S_OK);
  EXPECT_TRUE(Contains(StreamText(forwarded.get(), PR_ATTACH_DATA_BIN), "old text"));

  MapiPtr<IMessage> plain = OpenMessage("jdoe", ids[2]);
  ASSERT_TRUE(plain);
  EXPECT_EQ(PropText(plain.get(), PR_SUBJECT), "");
  EXPECT_EQ(PropText(plain.get(), PR_BODY), "Café at noon\n") << "unlabelled 8-bit text read as Latin-1";

  auto json = AdminJson({"deliver", "jdoe", "--folder", "Drafts", WriteFile("again.eml", kNoSubject)});
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["file"], (dir_ / "again.eml").string());
  EXPECT_FALSE(json[0]["entry_id"].empty());
}

TEST_F(ZuvadminTest, MailboxWithoutHtmlKeepsTheHtmlBodyAsRtf) {
  MakeMailbox();
  ASSERT_EQ(Admin({"add-mailbox", "plain", "--display-name", "Plain", "--smtp", "plain@example.org", "--legacy-dn",
                   "/o=Example/cn=plain", "--server", "MAIL01", "--no-html"})
                .status,
            0);
  RunResult r = Admin({"deliver", "plain", "--folder", "Inbox", "-"}, kAlternative);
  ASSERT_EQ(r.status, 0) << r.err;
  MapiPtr<IMessage> msg = OpenMessage("plain", Lines(r.out).at(0));
  ASSERT_TRUE(msg);
  EXPECT_EQ(PropText(msg.get(), PR_BODY_HTML), "<missing>");
  MapiPtr<IUnknown> compressed;
  ASSERT_EQ(msg->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, 0, 0, compressed.put()), S_OK);
  MapiPtr<IStream> rtf;
  ASSERT_EQ(WrapCompressedRTFStream(static_cast<IStream*>(compressed.get()), 0, rtf.put()), S_OK);
  std::string text(4096, '\0');
  ULONG n = 0;
  ASSERT_EQ(rtf->Read(text.data(), static_cast<ULONG>(text.size()), &n), S_OK);
  text.resize(n);
  EXPECT_EQ(text.rfind("{\\rtf1", 0), 0u) << text;
  EXPECT_TRUE(Contains(text, "\\fromhtml1")) << text;
  EXPECT_TRUE(Contains(text, "<p style=\"x\\{\\}\">")) << "RTF braces in the HTML are escaped: " << text;
}

// An mbox of count messages; message bad_number has no header block.
std::string MakeMbox(int count, int bad_number) {
  std::string mbox;
  for (int i = 1; i <= count; ++i) {
    mbox += "From sender@example.org Mon Jan  1 00:00:00 2024\n";
    if (i == bad_number) {
      mbox += "garbage without a colon\n\nbody\n\n";
      continue;
    }
    mbox += "From: Sender <sender@example.org>\nTo: jdoe@example.org\nSubject: message " + std::to_string(i) + "\n";
    if (i == 2) mbox += "Status: RO\n";
    mbox += "\nline one\n";
    if (i == 1) mbox += ">From the quoted line\n>>From twice quoted\n";
    mbox += "\n";
  }
  return mbox;
}

TEST_F(ZuvadminTest, ImportMboxStoresEachMessageReportsSkipsAndCountsProgress) {
  MakeMailbox();
  RunResult r = Admin({"import-mbox", "jdoe", "--folder", "Inbox", WriteFile("box.mbox", MakeMbox(1001, 500))});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.out, "imported 1000, skipped 1\n");
  EXPECT_TRUE(Contains(r.err, "message 500 (byte ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "skipped: not a mail message")) << r.err;
  EXPECT_TRUE(Contains(r.err, "import-mbox: 1000 messages (")) << "a count line off a terminal: " << r.err;
  EXPECT_FALSE(Contains(r.err, "\r")) << "no bar off a terminal";

  auto rows = AdminJson({"list-messages", "jdoe", "--folder", "Inbox", "--columns",
                         "PR_SUBJECT,PR_BODY,PR_MESSAGE_FLAGS,PR_MESSAGE_DELIVERY_TIME"});
  ASSERT_EQ(rows.size(), 1000u);
  EXPECT_EQ(rows[0]["PR_SUBJECT"], "message 1");
  EXPECT_EQ(rows[0]["PR_BODY"], "line one\nFrom the quoted line\n>From twice quoted\n");
  EXPECT_EQ(rows[0]["PR_MESSAGE_DELIVERY_TIME"], "2024-01-01T00:00:00Z") << "the From line's date";
  EXPECT_EQ(rows[0]["PR_MESSAGE_FLAGS"], "0");
  EXPECT_EQ(rows[1]["PR_MESSAGE_FLAGS"], std::to_string(MSGFLAG_READ)) << "Status: RO";
  EXPECT_EQ(rows[999]["PR_SUBJECT"], "message 1001");

  r = Admin({"--json", "import-mbox", "jdoe", "--folder", "Drafts", WriteFile("small.mbox", MakeMbox(3, 3))});
  EXPECT_EQ(r.status, 3);
  auto summary = JsonLines(r.out);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["imported"], "2");
  EXPECT_EQ(summary[0]["skipped"], "1");
  EXPECT_TRUE(Contains(summary[0]["skips"], "\"message\":3")) << summary[0]["skips"];
}

TEST_F(ZuvadminTest, ImportMboxDrawsAProgressBarOnATerminal) {
  MakeMailbox();
  const std::string mbox = WriteFile("box.mbox", MakeMbox(3, 0));
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(ZUVADMIN_BINARY, "zuvadmin", "--store", store_.c_str(), "import-mbox", "jdoe", "--folder", "Inbox",
          mbox.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof(buf))) > 0;) screen.append(buf, static_cast<size_t>(n));
  close(master);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_TRUE(Contains(screen, "\r[##############################] 100%  3 messages")) << screen;
  EXPECT_TRUE(Contains(screen, "imported 3, skipped 0")) << screen;
}

}  // namespace
}  // namespace zuvadmin_test
