// Tests of messages, attachments, recipients, submission and the address
// book, on a private database built with the administration API.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "addrbook.h"
#include "com.h"
#include "db.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "mapi/zuvstore_admin.h"
#include "objects.h"
#include "propval.h"

namespace zuvstore {
namespace {

namespace fs = std::filesystem;

constexpr ULONG kPrDisplayBcc = 0x0E02001E;
constexpr ULONG kPrResponsibility = 0x0E0F000B;

struct BufferGuard {
  void* p = nullptr;
  ~BufferGuard() { MAPIFreeBuffer(p); }
};

// Fills v from text: longs and booleans in decimal, binaries and strings
// pointing into text (which must outlive v).
SPropValue Value(ULONG tag, const std::string& text) {
  SPropValue v{};
  v.ulPropTag = tag;
  switch (PROP_TYPE(tag)) {
    case PT_LONG: v.Value.l = std::atoi(text.c_str()); break;
    case PT_BOOLEAN: v.Value.b = static_cast<unsigned short>(std::atoi(text.c_str())); break;
    case PT_BINARY:
      v.Value.bin = {static_cast<ULONG>(text.size()),
                     reinterpret_cast<LPBYTE>(const_cast<char*>(text.data()))};
      break;
    default: v.Value.lpszA = const_cast<char*>(text.c_str());
  }
  return v;
}
HRESULT Set(IMAPIProp* obj, ULONG tag, const std::string& text) {
  SPropValue v = Value(tag, text);
  return obj->SetProps(1, &v, nullptr);
}

// One property as text: strings as they are, binaries as bytes, longs and
// booleans in decimal; "<error>" when it is missing.
std::string Text(const SPropValue& v) {
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8: return v.Value.lpszA;
    case PT_BINARY: return std::string(reinterpret_cast<char*>(v.Value.bin.lpb), v.Value.bin.cb);
    case PT_LONG: return std::to_string(v.Value.l);
    case PT_BOOLEAN: return std::to_string(v.Value.b);
    case PT_SYSTIME:
      return std::to_string((static_cast<uint64_t>(v.Value.ft.dwHighDateTime) << 32) |
                            v.Value.ft.dwLowDateTime);
    default: return "<error>";
  }
}
std::string PropText(IMAPIProp* obj, ULONG tag) {
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG n = 0;
  LPSPropValue v = nullptr;
  HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, &v);
  BufferGuard g{v};
  return FAILED(hr) || n != 1 ? "<failed>" : Text(v[0]);
}
LONG PropLong(IMAPIProp* obj, ULONG tag) { return std::atoi(PropText(obj, tag).c_str()); }

// Rows of a table as text, in the columns asked for.
std::vector<std::vector<std::string>> Rows(IMAPITable* table, std::vector<ULONG> cols) {
  std::vector<ULONG> buf(cols.size() + 1);
  buf[0] = static_cast<ULONG>(cols.size());
  std::copy(cols.begin(), cols.end(), buf.begin() + 1);
  EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(buf.data()), 0), S_OK);
  LPSRowSet rows = nullptr;
  EXPECT_EQ(table->QueryRows(1000, 0, &rows), S_OK);
  std::vector<std::vector<std::string>> out;
  for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) {
    std::vector<std::string> row;
    for (ULONG c = 0; c < rows->aRow[i].cValues; ++c) row.push_back(Text(rows->aRow[i].lpProps[c]));
    out.push_back(row);
  }
  FreeProws(rows);
  return out;
}

HRESULT WriteStream(IMAPIProp* obj, ULONG tag, const std::string& data) {
  ComPtr<IUnknown> unk;
  HRESULT hr = obj->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unk.put());
  if (FAILED(hr)) return hr;
  auto* stream = static_cast<IStream*>(unk.get());
  for (size_t pos = 0; pos < data.size(); pos += 4096) {
    ULONG n = static_cast<ULONG>(std::min<size_t>(4096, data.size() - pos));
    if (FAILED(hr = stream->Write(data.data() + pos, n, nullptr))) return hr;
  }
  return stream->Commit(0);
}
std::string ReadStream(IMAPIProp* obj, ULONG tag) {
  ComPtr<IUnknown> unk;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, unk.put()))) return "<failed>";
  auto* stream = static_cast<IStream*>(unk.get());
  std::string out;
  char block[16384];
  ULONG n = 0;
  do {
    if (FAILED(stream->Read(block, sizeof(block), &n))) return "<failed>";
    out.append(block, n);
  } while (n == sizeof(block));
  return out;
}

// An ADRLIST whose entries are MAPIAllocateBuffer chains, as ResolveName
// expects; their texts live in the AdrList.
struct AdrList {
  LPADRLIST list = nullptr;
  std::deque<std::string> texts;
  explicit AdrList(const std::vector<std::vector<std::pair<ULONG, std::string>>>& entries) {
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(entries.size())), reinterpret_cast<void**>(&list));
    list->cEntries = static_cast<ULONG>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      SRow& e = list->aEntries[i];
      e = SRow{};
      e.cValues = static_cast<ULONG>(entries[i].size());
      MAPIAllocateBuffer(e.cValues * sizeof(SPropValue), reinterpret_cast<void**>(&e.lpProps));
      for (size_t j = 0; j < entries[i].size(); ++j) {
        e.lpProps[j] = Value(entries[i][j].first, texts.emplace_back(entries[i][j].second));
      }
    }
  }
  ~AdrList() { FreePadrlist(list); }
  std::string Get(size_t entry, ULONG tag) const {
    const SRow& e = list->aEntries[entry];
    for (ULONG j = 0; j < e.cValues; ++j) {
      if (e.lpProps[j].ulPropTag == tag) return Text(e.lpProps[j]);
    }
    return "<missing>";
  }
};

std::vector<std::pair<ULONG, std::string>> Recipient(const std::string& name, const std::string& address,
                                                     ULONG type) {
  return {{PR_DISPLAY_NAME, name},
          {PR_EMAIL_ADDRESS, address},
          {PR_ADDRTYPE, "SMTP"},
          {PR_RECIPIENT_TYPE, std::to_string(type)}};
}

int64_t IdOfEntry(const std::string& entry_id) {
  ParsedEntryId parsed;
  return SUCCEEDED(ParseEntryId(entry_id.data(), entry_id.size(), &parsed)) ? parsed.id : 0;
}

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-message-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = (dir_ / "store.db").string();
    std::string err;
    ASSERT_EQ(StoreAdmin::Open(path_, &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("MAIL01", false, &err), S_OK) << err;
    ASSERT_EQ(AddMailbox("alice", "Alice Adams", {"alice@example.org", "aa@example.org"}), S_OK);
    ASSERT_EQ(AddMailbox("bob", "Bob Brown", {"bob@example.org"}), S_OK);
    ASSERT_EQ(AddMailbox("carol", "Carol Clark", {"carol@example.org"}), S_OK);
    ASSERT_EQ(Db::Open(path_, &db_, &err), S_OK) << err;
    alice_ = Context("alice");
    ASSERT_TRUE(alice_);
  }
  void TearDown() override {
    alice_.reset();
    contexts_.clear();
    db_.reset();
    admin_.reset();
    fs::remove_all(dir_);
  }

  HRESULT AddMailbox(const std::string& alias, const std::string& name, std::vector<std::string> smtp) {
    MailboxSpec spec;
    spec.alias = alias;
    spec.display_name = name;
    spec.smtp = std::move(smtp);
    spec.legacy_dn = "/o=Example/ou=Users/cn=" + alias;
    spec.server = "MAIL01";
    std::string err, id;
    return admin_->AddMailbox(spec, &id, &err);
  }

  std::shared_ptr<StoreContext> Context(const std::string& alias) {
    std::shared_ptr<StoreContext>& ctx = contexts_[alias];
    StoreInfo box;
    std::string err;
    if (!ctx && SUCCEEDED(db_->Read([&](sqlite3* db) { return FindMailbox(db, alias, &box); }, &err))) {
      EXPECT_EQ(OpenStoreContext(db_, box.guid, &ctx, &err), S_OK) << err;
    }
    return ctx;
  }

  int64_t FolderId(const std::string& alias, const std::string& path) {
    std::vector<FolderInfo> folders;
    std::string err, bytes;
    EXPECT_EQ(admin_->ListFolders(alias, false, &folders, &err), S_OK) << err;
    for (auto& f : folders) {
      if (f.path == path && HexToEntryId(f.entry_id, &bytes)) return IdOfEntry(bytes);
    }
    ADD_FAILURE() << "no folder " << path;
    return 0;
  }
  std::string FolderEntryId(const std::string& alias, const std::string& path) {
    return MakeObjectEntryId(ObjKind::kFolder, Context(alias)->info.guid, FolderId(alias, path));
  }

  // The integers in the first column of sql's rows (one ? bound to arg).
  std::vector<int64_t> Ints(const std::string& sql, int64_t arg = 0) {
    std::vector<int64_t> out;
    std::string err;
    EXPECT_EQ(db_->Read(
                  [&](sqlite3* db) {
                    sqlite3_stmt* s = nullptr;
                    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
                    sqlite3_bind_int64(s, 1, arg);
                    while (sqlite3_step(s) == SQLITE_ROW) out.push_back(sqlite3_column_int64(s, 0));
                    sqlite3_finalize(s);
                    return S_OK;
                  },
                  &err),
              S_OK);
    return out;
  }
  std::vector<int64_t> MessagesIn(int64_t folder_id) {
    return Ints("SELECT id FROM messages WHERE folder_id = ? ORDER BY id", folder_id);
  }

  ComPtr<IMessage> NewMessage(const std::string& folder = "Drafts") {
    ComPtr<IMessage> msg;
    EXPECT_EQ(CreateMessageObject(alice_, FolderId("alice", folder), false, msg.put()), S_OK);
    return msg;
  }
  ComPtr<IMessage> Open(int64_t id, ULONG flags = MAPI_MODIFY, const std::string& alias = "alice") {
    ComPtr<IMessage> msg;
    EXPECT_EQ(OpenMessageObject(Context(alias), id, flags, msg.put()), S_OK);
    return msg;
  }
  static int64_t IdOf(IMessage* msg) { return IdOfEntry(PropText(msg, PR_ENTRYID)); }

  // Creates attachment with a file name and data; returns its number.
  ULONG AddAttachment(IMessage* msg, const std::string& name, const std::string& data) {
    ComPtr<IAttach> att;
    ULONG num = 999;
    EXPECT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), S_OK);
    EXPECT_EQ(Set(att.get(), PR_ATTACH_METHOD, "1"), S_OK);
    EXPECT_EQ(Set(att.get(), PR_ATTACH_LONG_FILENAME, name), S_OK);
    EXPECT_EQ(Set(att.get(), PR_ATTACH_FILENAME, name), S_OK);
    EXPECT_EQ(WriteStream(att.get(), PR_ATTACH_DATA_BIN, data), S_OK);
    EXPECT_EQ(att->SaveChanges(KEEP_OPEN_READONLY), S_OK);
    return num;
  }

  fs::path dir_;
  std::string path_;
  std::unique_ptr<StoreAdmin> admin_;
  std::shared_ptr<Db> db_;
  std::map<std::string, std::shared_ptr<StoreContext>> contexts_;
  std::shared_ptr<StoreContext> alice_;
};

TEST_F(MessageTest, PropertiesOfEveryTypeSurviveSaveAndReopen) {
  ComPtr<IMessage> msg = NewMessage();
  EXPECT_EQ(PropText(msg.get(), PR_ENTRYID), "<error>");  // no ID before the first save

  const std::string body(300000, 'b');  // kept out of line
  const std::string blob("\x00\x01\xFF", 3);
  std::u16string wide = u"Gr\u00FC\u00DFe";
  LONG longs[] = {1, -2, 3};
  char s1[] = "one", s2[] = "two";
  LPSTR strings[] = {s1, s2};
  GUID guid = MakeOleGuid(0x12345678, 1, 2);
  const std::string subject =
      "Stra\xC3\x9F"
      "e";
  std::vector<SPropValue> v = {Value(PR_SUBJECT, subject), Value(PR_IMPORTANCE, "2"),
                               Value(PR_READ_RECEIPT_REQUESTED, "1"),
                               Value(PROP_TAG(PT_BINARY, 0x6005), blob), Value(PR_BODY, body)};
  v.resize(12);
  v[5].ulPropTag = PROP_TAG(PT_I2, 0x6000);
  v[5].Value.i = -7;
  v[6].ulPropTag = PROP_TAG(PT_DOUBLE, 0x6001);
  v[6].Value.dbl = 2.5;
  v[7].ulPropTag = PROP_TAG(PT_I8, 0x6002);
  v[7].Value.li.QuadPart = int64_t{1} << 40;
  v[8].ulPropTag = PROP_TAG(PT_SYSTIME, 0x6003);
  v[8].Value.ft = {0x89ABCDEF, 0x01D00000};
  v[9].ulPropTag = PROP_TAG(PT_UNICODE, 0x6004);
  v[9].Value.lpszW = wide.data();
  v[10].ulPropTag = PROP_TAG(PT_MV_LONG, 0x6006);
  v[10].Value.MVl = {3, longs};
  v[11].ulPropTag = PROP_TAG(PT_MV_STRING8, 0x6007);
  v[11].Value.MVszA = {2, strings};
  v.push_back(SPropValue{PROP_TAG(PT_CLSID, 0x6008), 0, {.lpguid = &guid}});
  ASSERT_EQ(msg->SetProps(static_cast<ULONG>(v.size()), v.data(), nullptr), S_OK);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());
  ASSERT_GT(id, 0);
  EXPECT_EQ(IdOfEntry(PropText(msg.get(), PR_PARENT_ENTRYID)), FolderId("alice", "Drafts"));

  ComPtr<IMessage> again = Open(id, 0);
  std::vector<ULONG> tags{static_cast<ULONG>(v.size())};
  for (const SPropValue& p : v) tags.push_back(p.ulPropTag);
  ULONG n = 0;
  LPSPropValue got = nullptr;
  ASSERT_EQ(again->GetProps(reinterpret_cast<LPSPropTagArray>(tags.data()), 0, &n, &got), S_OK);
  BufferGuard g{got};
  for (size_t i = 0; i < v.size(); ++i) {
    StoredProp want, have;
    ASSERT_EQ(EncodeProp(v[i], &want), S_OK);
    ASSERT_EQ(EncodeProp(got[i], &have), S_OK) << std::hex << v[i].ulPropTag;
    EXPECT_TRUE(want.type == have.type && want.data == have.data) << std::hex << v[i].ulPropTag;
  }
  EXPECT_GE(PropLong(again.get(), PR_MESSAGE_SIZE), static_cast<LONG>(body.size()));
  EXPECT_EQ(PropLong(again.get(), PR_OBJECT_TYPE), static_cast<LONG>(MAPI_MESSAGE));
}

TEST_F(MessageTest, ChangesStayInTheirObjectUntilSavedAndConflictsAreRefused) {
  ComPtr<IMessage> msg = NewMessage();
  ASSERT_EQ(Set(msg.get(), PR_SUBJECT, "one"), S_OK);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());

  ComPtr<IMessage> a = Open(id), b = Open(id);
  ASSERT_EQ(Set(a.get(), PR_SUBJECT, "two"), S_OK);
  EXPECT_EQ(PropText(Open(id, 0).get(), PR_SUBJECT), "one");
  ASSERT_EQ(a->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  EXPECT_EQ(PropText(Open(id, 0).get(), PR_SUBJECT), "two");

  // b read the message before a saved it.
  ASSERT_EQ(Set(b.get(), PR_SUBJECT, "three"), S_OK);
  EXPECT_EQ(b->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_CHANGED);
  EXPECT_EQ(b->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE), S_OK);
  EXPECT_EQ(PropText(Open(id, 0).get(), PR_SUBJECT), "three");

  // A plain save keeps the object writable, as drafts are saved and then
  // sent through the same object.
  ASSERT_EQ(b->SaveChanges(0), S_OK);
  ASSERT_EQ(Set(b.get(), PR_SUBJECT, "three"), S_OK);
  ASSERT_EQ(b->SaveChanges(0), S_OK);

  // A read-only save ends writes but not reads; so does opening read-only.
  ASSERT_EQ(b->SaveChanges(KEEP_OPEN_READONLY), S_OK);
  EXPECT_EQ(Set(b.get(), PR_SUBJECT, "four"), MAPI_E_NO_ACCESS);
  ComPtr<IAttach> att;
  ULONG num = 0;
  EXPECT_EQ(b->CreateAttach(nullptr, 0, &num, att.put()), MAPI_E_NO_ACCESS);
  EXPECT_EQ(b->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NO_ACCESS);
  EXPECT_EQ(PropText(b.get(), PR_SUBJECT), "three");
  EXPECT_EQ(Set(Open(id, 0).get(), PR_SUBJECT, "five"), MAPI_E_NO_ACCESS);

  ASSERT_EQ(a->SetReadFlag(0x4 /* CLEAR_READ_FLAG */), S_OK);
  EXPECT_EQ(PropLong(Open(id, 0).get(), PR_MESSAGE_FLAGS) & MSGFLAG_READ, 0);
}

TEST_F(MessageTest, AttachmentsAreCreatedStreamedNumberedAndDeleted) {
  std::string big(5 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  ComPtr<IMessage> msg = NewMessage();
  EXPECT_EQ(AddAttachment(msg.get(), "big.bin", big), 0u);
  EXPECT_EQ(AddAttachment(msg.get(), "small.txt", "hello"), 1u);
  // The table and flags show the unsaved attachments.
  ComPtr<IMAPITable> table;
  ASSERT_EQ(msg->GetAttachmentTable(0, table.put()), S_OK);
  EXPECT_EQ(Rows(table.get(), {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME}),
            (std::vector<std::vector<std::string>>{{"0", "big.bin"}, {"1", "small.txt"}}));
  EXPECT_NE(PropLong(msg.get(), PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH, 0);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());

  ComPtr<IMessage> again = Open(id);
  EXPECT_EQ(PropText(again.get(), PR_HASATTACH), "1");
  EXPECT_GT(PropLong(again.get(), PR_MESSAGE_SIZE), static_cast<LONG>(big.size()));
  ComPtr<IAttach> att;
  ASSERT_EQ(again->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_EQ(PropText(att.get(), PR_ATTACH_NUM), "0");
  EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == big);
  EXPECT_EQ(WriteStream(att.get(), PR_ATTACH_DATA_BIN, "x"), MAPI_E_NO_ACCESS);  // opened read-only
  att.reset();
  EXPECT_EQ(again->OpenAttach(9, nullptr, 0, att.put()), MAPI_E_NOT_FOUND);

  // Numbers are never reused, across saves and opens.
  ASSERT_EQ(again->DeleteAttach(1, 0, nullptr, 0), S_OK);
  ASSERT_EQ(again->DeleteAttach(0, 0, nullptr, 0), S_OK);
  EXPECT_EQ(again->DeleteAttach(0, 0, nullptr, 0), MAPI_E_NOT_FOUND);
  ASSERT_EQ(again->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM attachments"), std::vector<int64_t>{0});
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_props WHERE kind = 7"), std::vector<int64_t>{0});
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks WHERE kind = 7"), std::vector<int64_t>{0});
  ComPtr<IMessage> third = Open(id);
  EXPECT_EQ(PropText(third.get(), PR_HASATTACH), "0");
  EXPECT_EQ(AddAttachment(third.get(), "next.txt", "again"), 2u);
  ASSERT_EQ(third->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  att.reset();
  ASSERT_EQ(Open(id)->OpenAttach(2, nullptr, MAPI_MODIFY, att.put()), S_OK);
  EXPECT_EQ(ReadStream(att.get(), PR_ATTACH_DATA_BIN), "again");
}

// Bytes that differ at every position of a chunk, so a misplaced chunk shows.
std::string Pattern(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  std::mt19937 gen(seed);
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

// Reads n bytes at offset through a fresh read stream.
std::string ReadAt(IMAPIProp* obj, int64_t offset, DWORD origin, ULONG n) {
  ComPtr<IUnknown> unk;
  if (FAILED(obj->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.put()))) return "<failed>";
  auto* stream = static_cast<IStream*>(unk.get());
  LARGE_INTEGER move{};
  move.QuadPart = offset;
  if (FAILED(stream->Seek(move, origin, nullptr))) return "<failed>";
  std::string out(n, '\0');
  ULONG got = 0;
  if (FAILED(stream->Read(out.data(), n, &got))) return "<failed>";
  out.resize(got);
  return out;
}

TEST_F(MessageTest, LargeAttachmentsStreamInChunksAndReadBackWhole) {
  constexpr size_t kChunk = 1 << 20;
  // Over three chunks with a short last one, exactly two chunks, and empty.
  const std::string odd = Pattern(3 * kChunk + 12345, 1);
  const std::string even = Pattern(2 * kChunk, 2);
  ComPtr<IMessage> msg = NewMessage();
  EXPECT_EQ(AddAttachment(msg.get(), "odd.bin", odd), 0u);
  EXPECT_EQ(AddAttachment(msg.get(), "even.bin", even), 1u);
  EXPECT_EQ(AddAttachment(msg.get(), "empty.bin", ""), 2u);

  // Before the message is saved the values come from the spool.
  ComPtr<IAttach> att;
  ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == odd);
  EXPECT_GT(PropLong(att.get(), PR_ATTACH_SIZE), static_cast<LONG>(odd.size()));
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks"), std::vector<int64_t>{0});
  att.reset();
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());
  // Chunks only: 4, and 3 (the even value ends in an empty chunk); the
  // empty value is inline.
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks WHERE kind = 7"), std::vector<int64_t>{7});
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_props WHERE kind = 7"), std::vector<int64_t>{0});
  EXPECT_EQ(Ints("SELECT MAX(length(data)) FROM large_chunks"), std::vector<int64_t>{kChunk});

  ComPtr<IMessage> again = Open(id, 0);
  EXPECT_GT(PropLong(again.get(), PR_MESSAGE_SIZE), static_cast<LONG>(odd.size() + even.size()));
  const std::vector<std::pair<ULONG, const std::string*>> all = {{0, &odd}, {1, &even}};
  for (const auto& [num, data] : all) {
    SCOPED_TRACE(num);
    att.reset();
    ASSERT_EQ(again->OpenAttach(num, nullptr, 0, att.put()), S_OK);
    EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == *data);
    EXPECT_TRUE(PropText(att.get(), PR_ATTACH_DATA_BIN) == *data);  // GetProps gives it whole
    EXPECT_GT(PropLong(att.get(), PR_ATTACH_SIZE), static_cast<LONG>(data->size()));
    // Partial reads across a chunk border, at the end and past it.
    EXPECT_EQ(ReadAt(att.get(), kChunk - 7, STREAM_SEEK_SET, 20), data->substr(kChunk - 7, 20));
    EXPECT_EQ(ReadAt(att.get(), -5, STREAM_SEEK_END, 100), data->substr(data->size() - 5));
    EXPECT_EQ(ReadAt(att.get(), 10, STREAM_SEEK_END, 100), "");
    ComPtr<IUnknown> unk;
    ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.put()), S_OK);
    STATSTG stat{};
    ASSERT_EQ(static_cast<IStream*>(unk.get())->Stat(&stat, 0), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, data->size());
  }
  att.reset();
  ASSERT_EQ(again->OpenAttach(2, nullptr, 0, att.put()), S_OK);
  EXPECT_EQ(ReadStream(att.get(), PR_ATTACH_DATA_BIN), "");

  // A copy made inside the database (a delivery) carries the chunks, and
  // deleting the original leaves the copy whole.
  ComPtr<IMessage> sent = Open(id);
  AdrList to({Recipient("Bob Brown", "bob@example.org", MAPI_TO)});
  ASSERT_EQ(sent->ModifyRecipients(0, to.list), S_OK);
  ASSERT_EQ(sent->SubmitMessage(0), S_OK);
  std::vector<int64_t> inbox = MessagesIn(FolderId("bob", "Inbox"));
  ASSERT_EQ(inbox.size(), 1u);
  att.reset();
  ASSERT_EQ(Open(inbox[0], 0, "bob")->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == odd);
}

TEST_F(MessageTest, StreamedValuesChangeInPlaceAndVanishUnlessCommittedAndSaved) {
  constexpr size_t kChunk = 1 << 20;
  std::string data = Pattern(2 * kChunk + 99, 3);
  ComPtr<IMessage> msg = NewMessage();
  AddAttachment(msg.get(), "data.bin", data);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());

  // Writing into the middle of a saved value keeps the rest of it.
  {
    ComPtr<IMessage> edit = Open(id);
    ComPtr<IAttach> att;
    ASSERT_EQ(edit->OpenAttach(0, nullptr, MAPI_MODIFY, att.put()), S_OK);
    ComPtr<IUnknown> unk;
    ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_MODIFY, unk.put()), S_OK);
    auto* stream = static_cast<IStream*>(unk.get());
    LARGE_INTEGER at{};
    at.QuadPart = kChunk - 1;
    ASSERT_EQ(stream->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_EQ(stream->Write("XYZ", 3, nullptr), S_OK);
    ASSERT_EQ(stream->Commit(0), S_OK);
    data.replace(kChunk - 1, 3, "XYZ");
    // Written after the commit: not part of the attachment.
    ASSERT_EQ(stream->Write("late", 4, nullptr), S_OK);
    ASSERT_EQ(att->SaveChanges(0), S_OK);
    ASSERT_EQ(edit->SaveChanges(0), S_OK);
  }
  ComPtr<IAttach> att;
  ASSERT_EQ(Open(id, 0)->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == data);

  // Another property changed: the stored chunks stay as they are.
  {
    ComPtr<IMessage> edit = Open(id);
    ComPtr<IAttach> other;
    ASSERT_EQ(edit->OpenAttach(0, nullptr, MAPI_MODIFY, other.put()), S_OK);
    ASSERT_EQ(Set(other.get(), PR_ATTACH_FILENAME, "renamed.bin"), S_OK);
    ASSERT_EQ(other->SaveChanges(0), S_OK);
    ASSERT_EQ(edit->SaveChanges(0), S_OK);
  }
  att.reset();
  ASSERT_EQ(Open(id, 0)->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_EQ(PropText(att.get(), PR_ATTACH_FILENAME), "renamed.bin");
  EXPECT_TRUE(ReadStream(att.get(), PR_ATTACH_DATA_BIN) == data);

  // Written but not committed: the attachment has no data.
  const std::vector<int64_t> before = Ints("SELECT COUNT(*) FROM large_chunks");
  {
    ComPtr<IMessage> edit = Open(id);
    ComPtr<IAttach> fresh;
    ULONG num = 0;
    ASSERT_EQ(edit->CreateAttach(nullptr, 0, &num, fresh.put()), S_OK);
    ComPtr<IUnknown> unk;
    ASSERT_EQ(fresh->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unk.put()),
              S_OK);
    const std::string more = Pattern(kChunk + 1, 4);
    ASSERT_EQ(static_cast<IStream*>(unk.get())->Write(more.data(), static_cast<ULONG>(more.size()), nullptr), S_OK);
    unk.reset();
    ASSERT_EQ(fresh->SaveChanges(0), S_OK);
    ASSERT_EQ(edit->SaveChanges(0), S_OK);
    att.reset();
    ASSERT_EQ(Open(id, 0)->OpenAttach(num, nullptr, 0, att.put()), S_OK);
    EXPECT_EQ(PropText(att.get(), PR_ATTACH_DATA_BIN), "<error>");
  }
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks"), before);

  // Committed and handed to a message that is never saved: nothing stored.
  {
    ComPtr<IMessage> edit = Open(id);
    AddAttachment(edit.get(), "dropped.bin", Pattern(kChunk + 1, 5));
  }
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks"), before);
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM attachments"), std::vector<int64_t>{2});

  // Deleting the attachment takes its chunks.
  ComPtr<IMessage> edit = Open(id);
  ASSERT_EQ(edit->DeleteAttach(0, 0, nullptr, 0), S_OK);
  ASSERT_EQ(edit->SaveChanges(0), S_OK);
  EXPECT_EQ(Ints("SELECT COUNT(*) FROM large_chunks"), std::vector<int64_t>{0});
}

TEST_F(MessageTest, AttachmentTableReadsNoAttachmentData) {
  ComPtr<IMessage> msg = NewMessage();
  AddAttachment(msg.get(), "big.bin", std::string(5 * 1024 * 1024, 'z'));
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());
  // Without its out-of-line data the attachment still lists, but cannot open.
  std::string err;
  ASSERT_EQ(db_->Write(
                [](WriteTxn& txn) {
                  Stmt s(txn.conn(), "DELETE FROM large_props WHERE kind = 7");
                  Stmt c(txn.conn(), "DELETE FROM large_chunks WHERE kind = 7");
                  return s.Step() == SQLITE_DONE && c.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
                },
                &err),
            S_OK);
  ComPtr<IMessage> again = Open(id);
  ComPtr<IMAPITable> table;
  ASSERT_EQ(again->GetAttachmentTable(0, table.put()), S_OK);
  EXPECT_EQ(Rows(table.get(), {PR_ATTACH_NUM, PR_ATTACH_FILENAME, PR_ATTACH_DATA_BIN}),
            (std::vector<std::vector<std::string>>{{"0", "big.bin", "<error>"}}));
  ComPtr<IAttach> att;
  EXPECT_EQ(again->OpenAttach(0, nullptr, 0, att.put()), MAPI_E_CORRUPT_DATA);
}

TEST_F(MessageTest, RecipientsAreAddedModifiedRemovedAndReplaced) {
  ComPtr<IMessage> msg = NewMessage();
  AdrList add({Recipient("Alice", "alice@example.org", MAPI_TO), Recipient("Bob", "bob@example.org", MAPI_CC),
               Recipient("Carol", "carol@example.org", MAPI_BCC)});
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_ADD, add.list), S_OK);
  EXPECT_EQ(PropText(msg.get(), PR_DISPLAY_TO), "Alice");
  EXPECT_EQ(PropText(msg.get(), PR_DISPLAY_CC), "Bob");
  EXPECT_EQ(PropText(msg.get(), kPrDisplayBcc), "Carol");

  AdrList modify({{{PR_ROWID, "1"}, {PR_DISPLAY_NAME, "Robert"}, {PR_RECIPIENT_TYPE, "1"}}});
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_MODIFY, modify.list), S_OK);
  AdrList remove({{{PR_ROWID, "0"}}});
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_REMOVE, remove.list), S_OK);
  AdrList unknown({{{PR_ROWID, "7"}, {PR_DISPLAY_NAME, "Nobody"}}});
  EXPECT_EQ(msg->ModifyRecipients(MODRECIP_MODIFY, unknown.list), MAPI_E_NOT_FOUND);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

  ComPtr<IMessage> again = Open(IdOf(msg.get()));
  ComPtr<IMAPITable> table;
  ASSERT_EQ(again->GetRecipientTable(0, table.put()), S_OK);
  EXPECT_EQ(Rows(table.get(), {PR_ROWID, PR_DISPLAY_NAME, PR_RECIPIENT_TYPE}),
            (std::vector<std::vector<std::string>>{{"1", "Robert", "1"}, {"2", "Carol", "3"}}));
  EXPECT_EQ(PropText(again.get(), PR_DISPLAY_TO), "Robert");
  // The record keeps the lists for contents tables.
  MessageRecord rec;
  std::string err, to;
  ASSERT_EQ(db_->Read([&](sqlite3* db) { return LoadMessage(db, IdOf(msg.get()), &rec); }, &err), S_OK);
  ASSERT_TRUE(GetString(rec.props[PROP_ID(PR_DISPLAY_TO)], &to));
  EXPECT_EQ(to, "Robert");

  AdrList replace({Recipient("Dan", "dan@example.net", MAPI_TO)});
  ASSERT_EQ(again->ModifyRecipients(0, replace.list), S_OK);
  table.reset();
  ASSERT_EQ(again->GetRecipientTable(0, table.put()), S_OK);
  EXPECT_EQ(Rows(table.get(), {PR_DISPLAY_NAME, PR_EMAIL_ADDRESS}),
            (std::vector<std::vector<std::string>>{{"Dan", "dan@example.net"}}));
}

TEST_F(MessageTest, ResolveNameFindsMailboxesAndOneOffsOrFailsWholly) {
  ASSERT_EQ(AddMailbox("pat1", "Pat Smith", {"pat1@example.org"}), S_OK);
  ASSERT_EQ(AddMailbox("pat2", "Pat Smith", {"pat2@example.org"}), S_OK);
  ComPtr<IAddrBook> ab;
  ASSERT_EQ(CreateAddrBook(db_, ab.put()), S_OK);

  AdrList list({{{PR_DISPLAY_NAME, "ALICE"}, {PR_RECIPIENT_TYPE, "2"}},
                {{PR_DISPLAY_NAME, "Carol Clark"}},
                {{PR_EMAIL_ADDRESS, "bob@EXAMPLE.org"}},
                {{PR_DISPLAY_NAME, "Ext Person <ext@other.example>"}},
                {{PR_ENTRYID, "keep"}, {PR_DISPLAY_NAME, "as is"}}});
  ASSERT_EQ(ab->ResolveName(0, 0, nullptr, list.list), S_OK);
  EXPECT_EQ(list.Get(0, PR_ENTRYID), MakeMailUserEntryId(Context("alice")->info.guid));
  EXPECT_EQ(list.Get(0, PR_DISPLAY_NAME), "Alice Adams");
  EXPECT_EQ(list.Get(0, PR_EMAIL_ADDRESS), "alice@example.org");
  EXPECT_EQ(list.Get(0, PR_ADDRTYPE), "SMTP");
  EXPECT_EQ(list.Get(0, PR_RECIPIENT_TYPE), "2");
  EXPECT_EQ(list.Get(1, PR_SMTP_ADDRESS), "carol@example.org");
  EXPECT_EQ(list.Get(2, PR_DISPLAY_NAME), "Bob Brown");
  EXPECT_EQ(list.Get(3, PR_DISPLAY_NAME), "Ext Person");
  EXPECT_EQ(list.Get(3, PR_SMTP_ADDRESS), "ext@other.example");
  EXPECT_EQ(list.Get(3, PR_ENTRYID), MakeOneOffEntryId("Ext Person", "ext@other.example"));
  EXPECT_EQ(list.Get(4, PR_DISPLAY_NAME), "as is");

  for (const char* name : {"pat smith", "nobody", "two@@example.org"}) {
    AdrList bad({{{PR_DISPLAY_NAME, "bob"}}, {{PR_DISPLAY_NAME, name}}});
    EXPECT_EQ(ab->ResolveName(0, 0, nullptr, bad.list),
              std::string(name) == "pat smith" ? MAPI_E_AMBIGUOUS_RECIP : MAPI_E_NOT_FOUND)
        << name;
    EXPECT_EQ(bad.Get(0, PR_ENTRYID), "<missing>") << "the list is left as it was";
  }

  // The entry opens as a mail user with its addresses.
  const std::string alice_id = list.Get(0, PR_ENTRYID);
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(ab->OpenEntry(static_cast<ULONG>(alice_id.size()),
                          reinterpret_cast<LPENTRYID>(const_cast<char*>(alice_id.data())), nullptr, 0, &type,
                          unk.put()),
            S_OK);
  EXPECT_EQ(type, MAPI_MAILUSER);
  auto* user = static_cast<IMailUser*>(unk.get());
  EXPECT_EQ(PropText(user, PR_ACCOUNT), "alice");
  SizedSPropTagArray(1, proxy) = {1, {PR_EMS_AB_PROXY_ADDRESSES}};
  ULONG n = 0;
  LPSPropValue v = nullptr;
  ASSERT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&proxy), 0, &n, &v), S_OK);
  BufferGuard g{v};
  ASSERT_EQ(v[0].Value.MVszA.cValues, 2u);
  EXPECT_STREQ(v[0].Value.MVszA.lppszA[0], "SMTP:alice@example.org");
  EXPECT_STREQ(v[0].Value.MVszA.lppszA[1], "smtp:aa@example.org");
}

TEST_F(MessageTest, SubmitDeliversLocallyAndFilesTheSendersCopyInSentItems) {
  std::vector<ChangeEvent> events;
  int listener = db_->AddChangeListener([&](const std::vector<ChangeEvent>& batch) {
    events.insert(events.end(), batch.begin(), batch.end());
  });
  ComPtr<IMessage> msg = NewMessage();
  ASSERT_EQ(Set(msg.get(), PR_SUBJECT, "lunch"), S_OK);
  ASSERT_EQ(Set(msg.get(), PR_SENTMAIL_ENTRYID, FolderEntryId("alice", "Sent Items")), S_OK);
  AddAttachment(msg.get(), "menu.txt", "soup");
  ComPtr<IAddrBook> ab;
  ASSERT_EQ(CreateAddrBook(db_, ab.put()), S_OK);
  AdrList to({{{PR_DISPLAY_NAME, "bob@example.org"}, {PR_RECIPIENT_TYPE, "1"}},
              {{PR_DISPLAY_NAME, "carol"}, {PR_RECIPIENT_TYPE, "3"}}});
  ASSERT_EQ(ab->ResolveName(0, 0, nullptr, to.list), S_OK);
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_ADD, to.list), S_OK);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  const int64_t id = IdOf(msg.get());
  ASSERT_EQ(msg->SubmitMessage(0), S_OK);
  db_->RemoveChangeListener(listener);

  EXPECT_TRUE(MessagesIn(FolderId("alice", "Drafts")).empty());
  EXPECT_TRUE(MessagesIn(FolderId("alice", "Outbox")).empty());
  ASSERT_EQ(MessagesIn(FolderId("alice", "Sent Items")), std::vector<int64_t>{id});
  LONG sent_flags = PropLong(Open(id, 0).get(), PR_MESSAGE_FLAGS);
  EXPECT_EQ(sent_flags & (MSGFLAG_UNSENT | MSGFLAG_SUBMIT), 0);
  EXPECT_NE(sent_flags & MSGFLAG_READ, 0);
  EXPECT_EQ(Set(msg.get(), PR_SUBJECT, "late"), MAPI_E_NO_ACCESS);

  const int64_t bob_inbox = FolderId("bob", "Inbox");
  std::vector<int64_t> received = MessagesIn(bob_inbox);
  ASSERT_EQ(received.size(), 1u);
  ComPtr<IMessage> copy = Open(received[0], 0, "bob");
  EXPECT_EQ(PropText(copy.get(), PR_SUBJECT), "lunch");
  EXPECT_EQ(PropLong(copy.get(), PR_MESSAGE_FLAGS) & (MSGFLAG_READ | MSGFLAG_UNSENT), 0);
  EXPECT_NE(PropText(copy.get(), PR_MESSAGE_DELIVERY_TIME), "<error>");
  EXPECT_EQ(PropText(copy.get(), PR_SENDER_EMAIL_ADDRESS), "alice@example.org");
  ComPtr<IAttach> att;
  ASSERT_EQ(copy->OpenAttach(0, nullptr, 0, att.put()), S_OK);
  EXPECT_EQ(ReadStream(att.get(), PR_ATTACH_DATA_BIN), "soup");
  ComPtr<IMAPITable> table;
  ASSERT_EQ(copy->GetRecipientTable(0, table.put()), S_OK);
  EXPECT_EQ(Rows(table.get(), {PR_DISPLAY_NAME}), (std::vector<std::vector<std::string>>{{"Bob Brown"}}))
      << "blind copies stay with the sender";
  EXPECT_EQ(MessagesIn(FolderId("carol", "Inbox")).size(), 1u);

  bool new_mail = false, moved = false;
  for (const ChangeEvent& e : events) {
    new_mail = new_mail || (e.new_mail && e.folder_id == bob_inbox && e.object_id == received[0]);
    moved = moved || (e.type == ChangeType::kMoved && e.object_id == id &&
                      e.old_folder_id == FolderId("alice", "Drafts"));
  }
  EXPECT_TRUE(new_mail);
  EXPECT_TRUE(moved);
}

TEST_F(MessageTest, SubmitQueuesRemoteRecipientsAndHonoursDeleteAfterSubmit) {
  ComPtr<IMessage> empty = NewMessage();
  EXPECT_EQ(empty->SubmitMessage(0), MAPI_E_NO_RECIPIENTS);

  ComPtr<IMessage> msg = NewMessage();
  ASSERT_EQ(Set(msg.get(), PR_DELETE_AFTER_SUBMIT, "1"), S_OK);
  AdrList to(
      {Recipient("Bob", "bob@example.org", MAPI_TO), Recipient("Far", "far@elsewhere.example", MAPI_TO)});
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_ADD, to.list), S_OK);
  ASSERT_EQ(msg->SubmitMessage(0), S_OK);

  EXPECT_EQ(MessagesIn(FolderId("bob", "Inbox")).size(), 1u);
  EXPECT_TRUE(MessagesIn(FolderId("alice", "Drafts")).empty());
  EXPECT_TRUE(MessagesIn(FolderId("alice", "Sent Items")).empty());
  std::vector<int64_t> queued = MessagesIn(FolderId("alice", "Outbox"));
  ASSERT_EQ(queued.size(), 1u);
  ComPtr<IMessage> copy = Open(queued[0], 0);
  EXPECT_EQ(PropLong(copy.get(), PR_MESSAGE_FLAGS) & (MSGFLAG_SUBMIT | MSGFLAG_UNSENT),
            static_cast<LONG>(MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
  ComPtr<IMAPITable> table;
  ASSERT_EQ(copy->GetRecipientTable(0, table.put()), S_OK);
  EXPECT_EQ(
      Rows(table.get(), {PR_EMAIL_ADDRESS, kPrResponsibility}),
      (std::vector<std::vector<std::string>>{{"bob@example.org", "1"}, {"far@elsewhere.example", "0"}}));
}

// ---- Kill safety ----

// The child side of KillDuringSaveLeavesOldOrNewMessage: saves generation
// after generation of one message until it is killed.
constexpr char kKillDbEnv[] = "ZUV_MESSAGE_KILL_DB";
constexpr char kKillMessageEnv[] = "ZUV_MESSAGE_KILL_ID";
constexpr size_t kBodyBytes = 1 << 20, kDataBytes = 2 << 20;

char GenChar(int gen) { return static_cast<char>('a' + gen % 26); }

// Writes generation gen into the open message (subject, body, attachment 0).
void WriteGeneration(IMessage* msg, int gen) {
  ASSERT_EQ(Set(msg, PR_SUBJECT, "gen " + std::to_string(gen)), S_OK);
  ASSERT_EQ(Set(msg, PR_BODY, std::string(kBodyBytes, GenChar(gen))), S_OK);
  ComPtr<IAttach> att;
  ULONG num = 0;
  if (FAILED(msg->OpenAttach(0, nullptr, MAPI_MODIFY, att.put()))) {
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), S_OK);
  }
  ASSERT_EQ(WriteStream(att.get(), PR_ATTACH_DATA_BIN, std::string(kDataBytes, GenChar(gen))), S_OK);
  ASSERT_EQ(att->SaveChanges(0), S_OK);
}

int SubjectGeneration(IMessage* msg) { return std::atoi(PropText(msg, PR_SUBJECT).substr(4).c_str()); }

// The generation the saved message holds; -1 when its parts disagree.
// REQUIRES: no writer running (the attachment is read after the message).
int SavedGeneration(const std::shared_ptr<StoreContext>& ctx, int64_t id) {
  ComPtr<IMessage> msg;
  if (FAILED(OpenMessageObject(ctx, id, 0, msg.put()))) return -1;
  int gen = SubjectGeneration(msg.get());
  ComPtr<IAttach> att;
  if (FAILED(msg->OpenAttach(0, nullptr, 0, att.put()))) return -1;
  bool same = PropText(msg.get(), PR_BODY) == std::string(kBodyBytes, GenChar(gen)) &&
              ReadStream(att.get(), PR_ATTACH_DATA_BIN) == std::string(kDataBytes, GenChar(gen));
  return same ? gen : -1;
}

TEST(MessageKillChild, DISABLED_SaveLoop) {
  const char* path = std::getenv(kKillDbEnv);
  if (path == nullptr) GTEST_SKIP() << "runs as the child of KillDuringSaveLeavesOldOrNewMessage";
  std::shared_ptr<Db> db;
  std::shared_ptr<StoreContext> ctx;
  std::string err;
  StoreInfo box;
  ASSERT_EQ(Db::Open(path, &db, &err), S_OK) << err;
  ASSERT_EQ(db->Read([&](sqlite3* conn) { return FindMailbox(conn, "alice", &box); }, &err), S_OK) << err;
  ASSERT_EQ(OpenStoreContext(db, box.guid, &ctx, &err), S_OK) << err;
  const int64_t id = std::atoll(std::getenv(kKillMessageEnv));
  for (;;) {
    ComPtr<IMessage> msg;
    ASSERT_EQ(OpenMessageObject(ctx, id, MAPI_MODIFY, msg.put()), S_OK);
    WriteGeneration(msg.get(), SubjectGeneration(msg.get()) + 1);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }
}

TEST_F(MessageTest, KillDuringSaveLeavesOldOrNewMessage) {
  ComPtr<IMessage> msg = NewMessage();
  WriteGeneration(msg.get(), 0);
  ASSERT_EQ(msg->SaveChanges(0), S_OK);
  const int64_t id = IdOf(msg.get());
  msg.reset();

  std::mt19937 rng(12345);
  int last = 0;
  for (int round = 0; round < 6; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // A fresh process image: no SQLite state is shared with the parent.
      setenv(kKillDbEnv, path_.c_str(), 1);
      setenv(kKillMessageEnv, std::to_string(id).c_str(), 1);
      int log = open((dir_ / "child.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(log, 1);
      dup2(log, 2);
      execl("/proc/self/exe", "message_kill_child", "--gtest_filter=MessageKillChild.DISABLED_SaveLoop",
            "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Kill it once it has saved at least once this round, at a random point
    // of a later save.
    int gen = last;
    for (int polls = 0; polls < 6000 && gen == last; ++polls) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ComPtr<IMessage> now;
      if (SUCCEEDED(OpenMessageObject(alice_, id, 0, now.put()))) gen = SubjectGeneration(now.get());
      if (waitpid(pid, nullptr, WNOHANG) == pid) break;  // died on its own
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) {
      std::ifstream log(dir_ / "child.log");
      FAIL() << "the child stopped before it was killed:\n"
             << std::string(std::istreambuf_iterator<char>(log), {});
    }

    gen = SavedGeneration(alice_, id);
    ASSERT_GE(gen, 0) << "the message mixes two saves";
    EXPECT_GT(gen, last) << "round " << round << " saved nothing";
    last = gen;
  }
  std::string err, result;
  ASSERT_EQ(db_->Read(
                [&](sqlite3* db) {
                  Stmt s(db, "PRAGMA integrity_check");
                  if (s.Step() == SQLITE_ROW) result = std::string(s.Text(0));
                  return S_OK;
                },
                &err),
            S_OK);
  EXPECT_EQ(result, "ok");
}

}  // namespace
}  // namespace zuvstore

namespace zuvstore {
namespace {

TEST_F(MessageTest, ValuesReadTogetherMatchWhatEachOpenedMessageReads) {
  const std::string cut = std::string(299, 's') + "E";      // inline, past a table row's 255
  const std::string large = std::string(2999, 'l') + "E";  // kept out of line
  std::vector<std::string> ids;
  for (const std::string* subject : {&cut, &large, static_cast<const std::string*>(nullptr)}) {
    ComPtr<IMessage> msg = NewMessage();
    if (subject != nullptr) {
      ASSERT_EQ(Set(msg.get(), PR_SUBJECT_A, *subject), S_OK);
    }
    ASSERT_EQ(Set(msg.get(), PR_BODY_A, "body"), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
    ids.push_back(PropText(msg.get(), PR_ENTRYID));
  }
  // A deleted message, one of another store, and IDs that name no message.
  std::string deleted;
  {
    ComPtr<IMessage> msg = NewMessage();
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
    deleted = PropText(msg.get(), PR_ENTRYID);
    ComPtr<IMAPIFolder> drafts;
    ASSERT_EQ(OpenFolderObject(alice_, FolderId("alice", "Drafts"), MAPI_MODIFY, drafts.put()), S_OK);
    SBinary bin{static_cast<ULONG>(deleted.size()), reinterpret_cast<LPBYTE>(deleted.data())};
    SBinaryArray list{1, &bin};
    ASSERT_EQ(drafts->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }
  std::string bobs;
  {
    ComPtr<IMessage> msg;
    ASSERT_EQ(CreateMessageObject(Context("bob"), FolderId("bob", "Drafts"), false, msg.put()), S_OK);
    ASSERT_EQ(Set(msg.get(), PR_SUBJECT_A, cut), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
    bobs = PropText(msg.get(), PR_ENTRYID);
  }
  const std::string folderId = FolderEntryId("alice", "Drafts");
  const std::string garbage = "not an entry ID";

  std::vector<MessageValueRequest> requests;
  for (const std::string& id : ids) {
    for (ULONG tag : {PR_SUBJECT_A, PR_SUBJECT_W, PR_BODY_A, PR_BODY_W}) requests.push_back({id, tag});
    requests.push_back({id, PR_IMPORTANCE});
  }
  for (const std::string* id : {&deleted, &bobs}) requests.push_back({*id, PR_SUBJECT_A});

  ComPtr<IMAPIFolder> folder;
  ASSERT_EQ(OpenFolderObject(alice_, FolderId("alice", "Drafts"), 0, folder.put()), S_OK);
  ComPtr<IZuvMessageValues> reader;
  ASSERT_EQ(folder->QueryInterface(IID_IZuvMessageValues, reinterpret_cast<void**>(reader.put())), S_OK);
  std::vector<MessageValue> values(requests.size() + 2);
  requests.push_back({folderId, PR_SUBJECT_A});
  requests.push_back({garbage, PR_SUBJECT_A});
  ASSERT_EQ(reader->ReadMessageValues(requests.data(), requests.size(), values.data()), S_OK);

  for (size_t i = 0; i + 2 < requests.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    const std::string id(requests[i].entry_id);
    ComPtr<IUnknown> unk;
    ULONG type = 0;
    const HRESULT open = OpenEntryInStore(alice_, static_cast<ULONG>(id.size()),
                                          reinterpret_cast<const ENTRYID*>(id.data()), MAPI_DEFERRED_ERRORS, &type,
                                          unk.put());
    EXPECT_EQ(values[i].open_result, open);
    if (FAILED(open)) continue;
    auto* msg = static_cast<IMessage*>(unk.get());
    ComPtr<IUnknown> stream;
    const HRESULT prop = msg->OpenProperty(requests[i].tag, &IID_IStream, 0, 0, stream.put());
    EXPECT_EQ(values[i].value_result, prop);
    if (SUCCEEDED(prop)) {
      EXPECT_EQ(values[i].bytes, ReadStream(msg, requests[i].tag));
    }
  }
  EXPECT_EQ(values[0].bytes, cut);
  EXPECT_EQ(values[5].bytes, large);
  EXPECT_EQ(values[values.size() - 4].open_result, MAPI_E_NOT_FOUND);  // deleted
  EXPECT_EQ(values[values.size() - 3].open_result, MAPI_E_NOT_FOUND);  // another store's
  EXPECT_EQ(values[values.size() - 2].open_result, MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(values[values.size() - 1].open_result, MAPI_E_INVALID_ENTRYID);
}

}  // namespace
}  // namespace zuvstore
