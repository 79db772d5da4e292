// cmd_items.cpp: uploads, attachments, drafts and contacts.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "zuvctl.h"

namespace zuvctl {
namespace {

// Files at least this large get a progress bar on a terminal.
constexpr uint64_t kProgressBytes = 1 << 20;

// Uploads file; on success *upload_name is the name for later requests.
int UploadFile(const Options& opts, const std::string& file, std::string* upload_name, std::string* err) {
  std::string bytes;
  if (!ReadWholeFile(file, &bytes, err)) return zuvsdk::kBadArgument;
  return zuvsdk::Upload(opts.endpoint(), bytes, upload_name, err);
}

std::string BaseName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// The folder of --folder, or "" when none was given.
int OptionalFolder(zuvsdk::Client* client, const std::string& folder, std::string* id, std::string* err) {
  id->clear();
  return folder.empty() ? zuvsdk::kOk : ResolveFolder(client, folder, id, err);
}

bool ParseAssignments(const std::vector<std::string>& texts, std::vector<zuvsdk::Assignment>* out, std::string* err) {
  for (const std::string& a : texts) {
    zuvsdk::Assignment v;
    if (zuvsdk::ParseAssignment(a, &v.name, &v.value, err) != 0) return false;
    if (v.value.kind != zuvsdk::kTypeLong && v.value.kind != zuvsdk::kTypeString) {
      *err = a + ": attachment values are numbers or strings";
      return false;
    }
    out->push_back(std::move(v));
  }
  return true;
}

struct ItemArgs {
  std::string folder;
  std::string item;
  int number = -1;
  std::string file;
  std::string name;
  std::string output;
  std::vector<std::string> columns{"PR_ATTACH_NUM", "PR_ATTACH_LONG_FILENAME", "PR_ATTACH_SIZE",
                                   "PR_ATTACH_MIME_TAG"};
  std::vector<std::string> assignments;
};

void AddItemOptions(CLI::App* cmd, ItemArgs* args) {
  cmd->add_option("--item", args->item, "entry ID of the item")->required();
  cmd->add_option("--folder", args->folder, "folder of the item (path or entry ID)");
}

}  // namespace

void AddItemCommands(CLI::App* app, const Options* opts, int* status) {
  // ---- upload ----
  auto* upload = app->add_subcommand("upload", "upload a file on the binary port; prints its upload name");
  static ItemArgs up;
  upload->add_option("FILE", up.file, "file to upload")->required()->check(CLI::ExistingFile);
  upload->callback([opts, status] {
    std::string name, err;
    const int rc = UploadFile(*opts, up.file, &name, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "upload");
      return;
    }
    if (opts->json) {
      JsonLine().Str("File", up.file).Str("UploadName", name).Print();
    } else {
      std::printf("%s\n", name.c_str());
    }
  });

  // ---- attach ----
  auto* attach = app->add_subcommand("attach", "upload a file and attach it to an item (Attach)");
  static ItemArgs at;
  AddItemOptions(attach, &at);
  attach->add_option("FILE", at.file, "file to attach")->required()->check(CLI::ExistingFile);
  attach->add_option("--name", at.name, "attachment name; default the file's name");
  attach->add_option("--set", at.assignments, "NAME=VALUE properties of the new attachment (repeatable)");
  attach->callback([opts, status] {
    std::vector<zuvsdk::Assignment> values;
    std::string err, upload_name, folder;
    if (!ParseAssignments(at.assignments, &values, &err)) {
      *status = Fail(err, kExitUsage);
      return;
    }
    int rc = UploadFile(*opts, at.file, &upload_name, &err);
    zuvsdk::Client client(opts->endpoint(), opts->session());
    if (rc == zuvsdk::kOk) rc = OptionalFolder(&client, at.folder, &folder, &err);
    int number = -1;
    if (rc == zuvsdk::kOk) {
      rc = client.Attach(folder, at.item, at.name.empty() ? BaseName(at.file) : at.name, upload_name, values, &number,
                         &err);
    }
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "attach");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", at.item).Int("AttachmentNum", number).Print();
    } else {
      std::printf("attachment %d\n", number);
    }
  });

  // ---- attachments ----
  auto* list = app->add_subcommand("attachments", "list the attachments of an item (GetAttachmentData)");
  static ItemArgs ls;
  AddItemOptions(list, &ls);
  list->add_option("--columns", ls.columns, "columns of the attachment table")->delimiter(',')->capture_default_str();
  list->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, folder;
    zuvsdk::TableAnswer answer;
    int rc = OptionalFolder(&client, ls.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.GetAttachmentData(folder, ls.item, ls.columns, &answer, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "attachments");
      return;
    }
    std::vector<std::string> header{"NUM"};
    for (const std::string& c : ls.columns) header.push_back(zuvsdk::BareName(c));
    TextTable table(header);
    for (const zuvsdk::Row& row : answer.rows) {
      if (opts->json) {
        JsonLine line;
        line.Str("key", row.key);
        for (const std::string& c : ls.columns) {
          const std::string bare = zuvsdk::BareName(c);
          if (const zuvsdk::Property* p = row.Find(bare)) line.Value(bare.c_str(), p->value);
        }
        line.Print();
        continue;
      }
      std::vector<std::string> cells{row.key};
      for (const std::string& c : ls.columns) cells.push_back(CellText(row.Find(zuvsdk::BareName(c))));
      table.Add(std::move(cells));
    }
    if (!opts->json) table.Print();
  });

  // ---- get-attachment ----
  auto* get = app->add_subcommand("get-attachment", "save the contents of an attachment (GetAttachmentFile)");
  static ItemArgs ga;
  AddItemOptions(get, &ga);
  get->add_option("NUM", ga.number, "attachment number")->required()->check(CLI::NonNegativeNumber);
  get->add_option("-o,--output", ga.output, "file to write")->required();
  get->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, folder;
    int rc = OptionalFolder(&client, ga.folder, &folder, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "get-attachment");
      return;
    }
    // Written to a temporary name and renamed when whole, so a failure
    // leaves no partial file under the asked name.
    const std::string partial = ga.output + ".part";
    FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) {
      *status = Fail("cannot write " + partial);
      return;
    }
    const bool bar = ::isatty(STDERR_FILENO) != 0 && !opts->json;
    int last_percent = -1;
    uint64_t size = 0;
    bool write_failed = false;
    rc = client.GetAttachmentFile(
        folder, ga.item, ga.number,
        [&](std::string_view chunk, uint64_t received, uint64_t total) {
          size = total;
          if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) {
            write_failed = true;
            return false;
          }
          if (bar && total >= kProgressBytes) {
            const int percent = static_cast<int>(received * 100 / total);
            if (percent != last_percent) {
              last_percent = percent;
              const int filled = percent / 2;
              std::fprintf(stderr, "\r[%-50s] %3d%% %llu/%llu bytes", std::string(static_cast<size_t>(filled), '#').c_str(),
                           percent, static_cast<unsigned long long>(received), static_cast<unsigned long long>(total));
            }
          }
          return true;
        },
        &err);
    if (last_percent >= 0) std::fputc('\n', stderr);
    if (std::fclose(out) != 0) write_failed = true;
    if (write_failed) {
      std::remove(partial.c_str());
      *status = Fail("cannot write " + ga.output);
      return;
    }
    if (rc != zuvsdk::kOk) {
      std::remove(partial.c_str());
      *status = Finish(rc, err, "get-attachment");
      return;
    }
    if (std::rename(partial.c_str(), ga.output.c_str()) != 0) {
      std::remove(partial.c_str());
      *status = Fail("cannot write " + ga.output);
      return;
    }
    if (opts->json) {
      JsonLine().Str("File", ga.output).Int("Bytes", static_cast<int64_t>(size)).Print();
    } else {
      std::printf("wrote %llu bytes to %s\n", static_cast<unsigned long long>(size), ga.output.c_str());
    }
  });

  // ---- delete-attachment ----
  auto* del = app->add_subcommand("delete-attachment", "delete an attachment of an item (DeleteAttachment)");
  static ItemArgs da;
  AddItemOptions(del, &da);
  del->add_option("NUM", da.number, "attachment number")->required()->check(CLI::NonNegativeNumber);
  del->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, folder;
    int rc = OptionalFolder(&client, da.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.DeleteAttachment(folder, da.item, da.number, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "delete-attachment");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", da.item).Int("AttachmentNum", da.number).Bool("Deleted", true).Print();
    } else {
      std::printf("deleted attachment %d\n", da.number);
    }
  });

  // ---- set-attachment ----
  auto* seta = app->add_subcommand("set-attachment", "set properties of an attachment (SetAttachmentProperties)");
  static ItemArgs sa;
  AddItemOptions(seta, &sa);
  seta->add_option("NUM", sa.number, "attachment number")->required()->check(CLI::NonNegativeNumber);
  seta->add_option("NAME=VALUE", sa.assignments, "number or string values")->required();
  seta->callback([opts, status] {
    std::vector<zuvsdk::Assignment> values;
    std::string err, folder;
    if (!ParseAssignments(sa.assignments, &values, &err)) {
      *status = Fail(err, kExitUsage);
      return;
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    int rc = OptionalFolder(&client, sa.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.SetAttachmentProperties(folder, sa.item, sa.number, values, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "set-attachment");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", sa.item).Int("AttachmentNum", sa.number).Print();
    } else {
      std::printf("set %zu properties of attachment %d\n", values.size(), sa.number);
    }
  });

  // ---- draft ----
  auto* draft = app->add_subcommand("draft", "compose, attach to, send or discard a draft message");
  draft->require_subcommand(1);
  struct DraftArgs {
    zuvsdk::Draft d;
    std::string body_file;
    std::string id;
    std::string file;
    std::string name;
    int number = -1;
  };
  static DraftArgs dr;
  auto* create = draft->add_subcommand("create", "create a draft in Drafts; prints its entry ID (CreateMessage)");
  create->add_option("--to", dr.d.to, "recipient address (repeatable)");
  create->add_option("--cc", dr.d.cc, "copy recipient (repeatable)");
  create->add_option("--bcc", dr.d.bcc, "blind copy recipient (repeatable)");
  create->add_option("--subject", dr.d.subject, "subject");
  create->add_option("--body-file", dr.body_file, "file holding the body")->check(CLI::ExistingFile);
  create->add_flag("--html", dr.d.html, "the body is HTML");
  create->add_option("--read-receipt", dr.d.read_receipt_email, "address for a read receipt");
  create->add_flag("!--no-sent-copy", dr.d.save_to_sent_items, "keep no copy in Sent Items");
  create->callback([opts, status] {
    std::string err, id;
    if (!dr.body_file.empty() && !ReadWholeFile(dr.body_file, &dr.d.body, &err)) {
      *status = Fail(err, kExitUsage);
      return;
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    const int rc = client.CreateMessage(dr.d, &id, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "draft create");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", id).Print();
    } else {
      std::printf("%s\n", id.c_str());
    }
  });

  auto* dattach = draft->add_subcommand("attach", "upload a file and attach it to a draft (AddMessageAttachment)");
  dattach->add_option("ID", dr.id, "entry ID of the draft")->required();
  dattach->add_option("FILE", dr.file, "file to attach")->required()->check(CLI::ExistingFile);
  dattach->add_option("--name", dr.name, "attachment name; default the file's name");
  dattach->callback([opts, status] {
    std::string err, upload_name;
    int number = -1;
    int rc = UploadFile(*opts, dr.file, &upload_name, &err);
    zuvsdk::Client client(opts->endpoint(), opts->session());
    if (rc == zuvsdk::kOk) {
      rc = client.AddMessageAttachment(dr.id, dr.name.empty() ? BaseName(dr.file) : dr.name, upload_name, &number,
                                       &err);
    }
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "draft attach");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", dr.id).Int("AttachmentNum", number).Print();
    } else {
      std::printf("attachment %d\n", number);
    }
  });

  auto* detach = draft->add_subcommand("detach", "remove an attachment from a draft (DeleteMessageAttachment)");
  detach->add_option("ID", dr.id, "entry ID of the draft")->required();
  detach->add_option("NUM", dr.number, "attachment number")->required()->check(CLI::NonNegativeNumber);
  detach->callback([opts, status] {
    std::string err;
    zuvsdk::Client client(opts->endpoint(), opts->session());
    const int rc = client.DeleteMessageAttachment(dr.id, dr.number, &err);
    *status = Finish(rc, err, "draft detach");
    if (rc == zuvsdk::kOk && !opts->json) std::printf("removed attachment %d\n", dr.number);
    if (rc == zuvsdk::kOk && opts->json) JsonLine().Str("EntryID", dr.id).Int("AttachmentNum", dr.number).Print();
  });

  auto* send = draft->add_subcommand("send", "send a draft (SendMessage)");
  send->add_option("ID", dr.id, "entry ID of the draft")->required();
  send->callback([opts, status] {
    std::string err;
    zuvsdk::Client client(opts->endpoint(), opts->session());
    const int rc = client.SendMessage(dr.id, &err);
    *status = Finish(rc, err, "draft send");
    if (rc == zuvsdk::kOk && !opts->json) std::printf("sent %s\n", dr.id.c_str());
    if (rc == zuvsdk::kOk && opts->json) JsonLine().Str("EntryID", dr.id).Bool("Sent", true).Print();
  });

  auto* discard = draft->add_subcommand("discard", "delete a draft (DeleteMessage)");
  discard->add_option("ID", dr.id, "entry ID of the draft")->required();
  discard->callback([opts, status] {
    std::string err;
    zuvsdk::Client client(opts->endpoint(), opts->session());
    const int rc = client.DeleteMessage(dr.id, &err);
    *status = Finish(rc, err, "draft discard");
    if (rc == zuvsdk::kOk && !opts->json) std::printf("discarded %s\n", dr.id.c_str());
    if (rc == zuvsdk::kOk && opts->json) JsonLine().Str("EntryID", dr.id).Bool("Discarded", true).Print();
  });

  // ---- add-contact ----
  auto* contact = app->add_subcommand("add-contact", "add a contact; prints its entry ID (AddContact)");
  struct ContactArgs {
    zuvsdk::Contact c;
    std::string folder;
  };
  static ContactArgs ct;
  contact->add_option("--display-name", ct.c.display_name, "display name")->required();
  contact->add_option("--given-name", ct.c.given_name, "given name");
  contact->add_option("--surname", ct.c.surname, "surname");
  contact->add_option("--middle-name", ct.c.middle_name, "middle name");
  contact->add_option("--file-as", ct.c.file_as, "file-as text");
  contact->add_option("--url", ct.c.business_url, "business web page");
  contact->add_option("--notes", ct.c.notes, "notes");
  contact->add_option("--folder", ct.folder, "contacts folder (path or entry ID); default the mailbox's Contacts");
  contact->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, folder, id;
    int rc = OptionalFolder(&client, ct.folder, &folder, &err);
    if (rc == zuvsdk::kOk) rc = client.AddContact(folder, ct.c, &id, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "add-contact");
      return;
    }
    if (opts->json) {
      JsonLine().Str("EntryID", id).Str("DisplayName", ct.c.display_name).Print();
    } else {
      std::printf("%s\n", id.c_str());
    }
  });
}

}  // namespace zuvctl
