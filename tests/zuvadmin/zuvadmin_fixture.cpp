// zuvadmin_fixture.cpp: the process runner and store readers of the zuvadmin
// tests.
#include "zuvadmin_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "mapi/mapitags.h"

namespace zuvadmin_test {

namespace fs = std::filesystem;

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& env) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& add : env) replaced = replaced || entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
    if (!replaced) env_strings.push_back(entry);
  }
  for (const std::string& add : env) {
    if (add.back() != '=') env_strings.push_back(add);
  }
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  for (std::string& s : env_strings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);

  // Feed stdin and drain both outputs together, so a full pipe never blocks
  // the child.
  RunResult result;
  size_t written = 0;
  int in_fd = in[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::vector<std::map<std::string, std::string>> JsonLines(const std::string& output) {
  std::vector<std::map<std::string, std::string>> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    rapidjson::Document doc;
    doc.Parse(output.c_str() + start, end - start);
    EXPECT_FALSE(doc.HasParseError()) << output.substr(start, end - start);
    std::map<std::string, std::string> line;
    if (!doc.HasParseError() && doc.IsObject()) {
      for (auto m = doc.MemberBegin(); m < doc.MemberEnd(); ++m) {
        if (m->value.IsString()) {
          line[m->name.GetString()] = m->value.GetString();
        } else {
          rapidjson::StringBuffer text;
          rapidjson::Writer<rapidjson::StringBuffer> writer(text);
          m->value.Accept(writer);
          line[m->name.GetString()] = text.GetString();
        }
      }
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

void ZuvadminTest::SetUp() {
  char tmpl[] = "/tmp/zuvadmin-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  store_ = (dir_ / "store.db").string();
}

void ZuvadminTest::TearDown() { fs::remove_all(dir_); }

RunResult ZuvadminTest::Admin(std::vector<std::string> args, const std::string& input) {
  args.insert(args.begin(), {"--store", store_});
  return RunProgram(ZUVADMIN_BINARY, args, input, {});
}

std::vector<std::map<std::string, std::string>> ZuvadminTest::AdminJson(std::vector<std::string> args) {
  args.insert(args.begin(), "--json");
  RunResult r = Admin(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return JsonLines(r.out);
}

RunResult ZuvadminTest::AdminWithEnv(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return RunProgram(ZUVADMIN_BINARY, args, "", env);
}

void ZuvadminTest::MakeMailbox() {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"init"},
        {"add-server", "MAIL01"},
        {"add-mailbox", "jdoe", "--display-name", "John Doe", "--smtp", "jdoe@example.org", "--legacy-dn",
         "/o=Example/ou=Users/cn=jdoe", "--server", "MAIL01"}}) {
    RunResult r = Admin(args);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
  }
}

std::string ZuvadminTest::WriteFile(const std::string& name, const std::string& text) {
  const fs::path path = dir_ / name;
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

std::string ZuvadminTest::FolderEntryId(const std::string& alias, const std::string& path) {
  for (auto& f : AdminJson({"list-folders", alias})) {
    if (f["path"] == path) return f["entry_id"];
  }
  ADD_FAILURE() << "no folder " << path;
  return "";
}

MapiPtr<IMessage> ZuvadminTest::OpenMessage(const std::string& alias, const std::string& hex) {
  MapiPtr<IMessage> message;
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  std::string err, bytes;
  EXPECT_EQ(zuvstore::StoreAdmin::Open(store_, &admin, &err), S_OK) << err;
  MapiPtr<IMAPIFolder> root;
  EXPECT_EQ(admin->OpenFolder(alias, false, "/", root.put(), &err), S_OK) << err;
  EXPECT_TRUE(zuvstore::HexToEntryId(hex, &bytes)) << hex;
  if (!root) return message;
  ULONG type = 0;
  EXPECT_EQ(root->OpenEntry(static_cast<ULONG>(bytes.size()), reinterpret_cast<LPENTRYID>(bytes.data()), nullptr, 0,
                            &type, message.put_unknown()),
            S_OK)
      << hex;
  EXPECT_EQ(type, MAPI_MESSAGE);
  return message;
}

namespace {

std::string ValueText(const SPropValue& v) {
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8: return v.Value.lpszA;
    case PT_BINARY: return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
    case PT_LONG: return std::to_string(v.Value.l);
    case PT_BOOLEAN: return std::to_string(v.Value.b);
    default: return "<missing>";
  }
}

}  // namespace

std::string PropText(IMAPIProp* obj, ULONG tag) {
  auto tags = MakePropTags(tag);
  ULONG n = 0;
  MapiBuffer<SPropValue> v;
  if (FAILED(obj->GetProps(tags.get(), 0, &n, v.put())) || n != 1) return "<missing>";
  return ValueText(v[0]);
}

std::vector<std::vector<std::string>> TableRows(IMAPITable* table, const std::vector<ULONG>& columns) {
  std::vector<ULONG> tags{static_cast<ULONG>(columns.size())};
  tags.insert(tags.end(), columns.begin(), columns.end());
  EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(tags.data()), 0), S_OK);
  MapiRows rows;
  EXPECT_EQ(table->QueryRows(1000, 0, rows.put()), S_OK);
  std::vector<std::vector<std::string>> out;
  for (ULONG r = 0; rows.get() != nullptr && r < rows->cRows; ++r) {
    std::vector<std::string> row;
    for (ULONG c = 0; c < rows->aRow[r].cValues; ++c) row.push_back(ValueText(rows->aRow[r].lpProps[c]));
    out.push_back(std::move(row));
  }
  return out;
}

std::string StreamText(IMAPIProp* obj, ULONG tag) {
  MapiPtr<IUnknown> unk;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, unk.put()))) return "<missing>";
  auto* stream = static_cast<IStream*>(unk.get());
  std::string out;
  char block[16384];
  ULONG n = 0;
  do {
    if (FAILED(stream->Read(block, sizeof(block), &n))) return "<failed>";
    out.append(block, n);
  } while (n > 0);
  return out;
}

}  // namespace zuvadmin_test
