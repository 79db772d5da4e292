// Tests of the MAPI object wrappers against the real store: entry-ID
// strings, attachments and reading their data, contacts, drafts with and
// without HTML support, sending, folders and string-named properties.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapimessage.h"
#include "mapi_access/profile_admin.h"

namespace {

namespace fs = std::filesystem;

TEST(EntryIdStringTest, ConvertsBothWaysAndRejectsBadText) {
  const BYTE bytes[3] = {0x00, 0x1A, 0xFF};
  EXPECT_EQ(zuv::EntryIDToString(bytes, 3), "001AFF");
  EXPECT_EQ(zuv::EntryIDToString(bytes, 0), "");
  std::vector<BYTE> out;
  for (const char* text : {"001AFF", "0x00-1a ff", "x001aff", "{00,1A.FF}", "\t00\\1A/FF'`\r\n"}) {
    ASSERT_TRUE(zuv::HexToBin(text, &out)) << text;
    EXPECT_EQ(out, std::vector<BYTE>(bytes, bytes + 3)) << text;
  }
  for (const char* text : {"0x1", "00G1", "0x", "001AF", "00 1A FZ"}) {
    EXPECT_FALSE(zuv::HexToBin(text, &out)) << text;
    EXPECT_TRUE(out.empty()) << text;
  }
  ASSERT_TRUE(zuv::HexToBin("", &out));
  EXPECT_TRUE(out.empty());

  EXPECT_EQ(zuv::AnsiToWide("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"), u"Gr\u00FC\u00DFe \u20AC");

  FILETIME ft{};
  ASSERT_TRUE(zuv::LocalDateToFileTime("04/15/1980", &ft));
  EXPECT_EQ(zuv::FileTimeToLocalDate(ft), "04/15/1980");
  EXPECT_FALSE(zuv::LocalDateToFileTime("1980-04-15", &ft));
  EXPECT_FALSE(zuv::LocalDateToFileTime("13/01/2000", &ft));
}

std::string StringProp(IMAPIProp* obj, ULONG tag) {
  auto tags = MakePropTags(tag);
  ULONG n = 0;
  MapiBuffer<SPropValue> v;
  if (FAILED(obj->GetProps(tags.get(), 0, &n, v.put())) || v->ulPropTag != tag) return "<missing>";
  return v->Value.lpszA;
}

// The subjects of a folder's messages.
std::vector<std::string> Subjects(IMAPIFolder* folder) {
  MapiPtr<IMAPITable> table;
  EXPECT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
  auto cols = MakePropTags(PR_SUBJECT_A);
  MapiRows rows;
  EXPECT_EQ(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()), S_OK);
  std::vector<std::string> out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue& v = rows->aRow[i].lpProps[0];
    out.push_back(v.ulPropTag == PR_SUBJECT_A ? v.Value.lpszA : "");
  }
  return out;
}

class MapiObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-objects-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string err;
    ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    for (auto [alias, html] : {std::pair{"svc-zuv", true}, {"asmith", true}, {"plain", false}}) {
      zuvstore::MailboxSpec spec{alias, alias, {std::string(alias) + "@example.org"},
                                 std::string("/o=Example/cn=") + alias, "EXCH1", html};
      std::string id;
      ASSERT_EQ(admin_->AddMailbox(spec, &id, &err), S_OK) << err;
    }
    zuvstore::SetStorePath((dir_ / "store.db").string());
    ASSERT_TRUE(CMapiExMod::Init(true, true));
    module_ = LogOn("svc-zuv");
    ASSERT_TRUE(module_);
  }
  void TearDown() override {
    module_.reset();
    CMapiExMod::Term();
    admin_.reset();
    fs::remove_all(dir_);
  }

  std::unique_ptr<CMapiExMod> LogOn(const std::string& mailbox) {
    std::string profile = "profile-" + mailbox;
    EXPECT_EQ(zuv::CreateProfile(profile.c_str()), S_OK);
    EXPECT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", mailbox.c_str(), profile.c_str()), S_OK);
    auto module = std::make_unique<CMapiExMod>(("test:" + mailbox).c_str());
    if (!module->Login(module->Name().c_str(), profile.c_str(), true)) return nullptr;
    return module;
  }

  std::string WriteFile(const std::string& name, const std::string& bytes) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }

  fs::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  std::unique_ptr<CMapiExMod> module_;
};

// What ReadAttachment handed over: the size, the bytes, the block sizes,
// and the size as it stood at each block.
struct ReadBack {
  HRESULT hr = E_FAIL;
  uint64_t size = 0;
  std::string bytes;
  std::vector<size_t> blocks;
  bool size_known_at_each_block = true;
};

ReadBack ReadAll(CMAPIObject& msg, ULONG attachNum, size_t stopAfterBlocks = SIZE_MAX) {
  ReadBack r;
  r.size = 12345;  // overwritten before any block
  r.hr = msg.ReadAttachment(
      attachNum,
      [&](const void* data, size_t len) {
        r.size_known_at_each_block = r.size_known_at_each_block && r.size != 12345;
        r.bytes.append(static_cast<const char*>(data), len);
        r.blocks.push_back(len);
        return r.blocks.size() < stopAfterBlocks;
      },
      &r.size);
  return r;
}

TEST_F(MapiObjectsTest, AttachmentsRoundTripAndReadBackInBlocks) {
  std::unique_ptr<CMAPIFolder> inbox = module_->OpenInbox();
  ASSERT_TRUE(inbox);
  CMAPIObject msg;
  ASSERT_TRUE(msg.Create(module_.get(), inbox.get()));
  // Larger than two read blocks, not a multiple of one.
  std::string data(150000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_TRUE(msg.AddAttachmentFile(WriteFile("data.bin", data).c_str(), 0, nullptr, "cid-data"));
  ASSERT_TRUE(msg.AddAttachmentFile(WriteFile("empty.txt", "").c_str(), 0, "Empty File.txt", nullptr));
  SPropValue mime{};
  mime.ulPropTag = PR_ATTACH_MIME_TAG_A;
  mime.Value.lpszA = const_cast<char*>("image/png");
  ASSERT_TRUE(msg.AddAttachment(WriteFile("me.png", "PNG").c_str(), 0, &mime, 1, nullptr, "ContactPicture.jpg"));
  EXPECT_FALSE(msg.AddAttachmentFile((dir_ / "missing").c_str(), 0, nullptr, nullptr));
  {
    // An attachment with a short file name only.
    MapiPtr<IMessage> raw;
    ASSERT_EQ(msg.Item()->QueryInterface(IID_IMessage, raw.put_void()), S_OK);
    ULONG num = 0;
    MapiPtr<IAttach> attach;
    ASSERT_EQ(raw->CreateAttach(nullptr, 0, &num, attach.put()), S_OK);
    SPropValue props[2]{};
    props[0].ulPropTag = PR_ATTACH_METHOD;
    props[0].Value.l = ATTACH_BY_VALUE;
    props[1].ulPropTag = PR_ATTACH_FILENAME_A;
    props[1].Value.lpszA = const_cast<char*>("short.txt");
    ASSERT_EQ(attach->SetProps(2, props, nullptr), S_OK);
    ASSERT_EQ(attach->SaveChanges(0), S_OK);
  }
  ASSERT_TRUE(msg.Save(false));

  EXPECT_EQ(msg.GetAttachmentCount(), 4);
  EXPECT_EQ(msg.GetAttachmentCID(0), "cid-data");
  EXPECT_EQ(msg.GetAttachmentCID(1), "");
  EXPECT_EQ(msg.GetAttachmentName(0), "data.bin");
  EXPECT_EQ(msg.GetAttachmentName(1), "Empty File.txt");
  EXPECT_EQ(msg.GetAttachmentName(2), "ContactPicture.jpg") << "whatever the file is called";
  EXPECT_EQ(msg.GetAttachmentName(3), "short.txt");
  EXPECT_EQ(msg.GetAttachmentName(4), "");

  ReadBack whole = ReadAll(msg, 0);
  ASSERT_EQ(whole.hr, S_OK);
  EXPECT_EQ(whole.size, data.size());
  EXPECT_TRUE(whole.bytes == data) << "the bytes differ from the file's";
  EXPECT_TRUE(whole.size_known_at_each_block);
  EXPECT_EQ(whole.blocks, (std::vector<size_t>{65536, 65536, 150000 - 2 * 65536}));

  ReadBack empty = ReadAll(msg, 1);
  EXPECT_EQ(empty.hr, S_OK);
  EXPECT_EQ(empty.size, 0u);
  EXPECT_TRUE(empty.blocks.empty()) << "nothing to hand over";

  ReadBack stopped = ReadAll(msg, 0, 1);
  EXPECT_EQ(stopped.hr, MAPI_E_USER_CANCEL);
  EXPECT_EQ(stopped.blocks.size(), 1u) << "no block after the sink said stop";
  EXPECT_EQ(stopped.bytes, data.substr(0, 65536));

  ReadBack missing = ReadAll(msg, 99);
  EXPECT_EQ(missing.hr, MAPI_E_NOT_FOUND);
  EXPECT_TRUE(missing.blocks.empty());
  EXPECT_EQ(missing.size, 0u);
  ReadBack no_data = ReadAll(msg, 3);
  EXPECT_TRUE(FAILED(no_data.hr)) << "the short-name attachment has no data";
  EXPECT_TRUE(no_data.blocks.empty());

  // Properties, then deletion; the message keeps what was saved.
  SPropValue jpeg{};
  jpeg.ulPropTag = PR_ATTACH_MIME_TAG_A;
  jpeg.Value.lpszA = const_cast<char*>("image/jpeg");
  EXPECT_TRUE(msg.SetAttachmentProperties(2, &jpeg, 1));
  EXPECT_FALSE(msg.SetAttachmentProperties(42, &jpeg, 1));
  EXPECT_TRUE(msg.DeleteAttachment(1));
  EXPECT_FALSE(msg.DeleteAttachment(1));
  ASSERT_TRUE(msg.Save(true));

  CMAPIObject again;
  std::vector<BYTE> id;
  ASSERT_TRUE(msg.EntryID().empty()) << "closed by the closing save";
  {
    auto subjects = Subjects(inbox->Folder());
    ASSERT_EQ(subjects.size(), 1u);
    MapiPtr<IMAPITable> table;
    ASSERT_EQ(inbox->Folder()->GetContentsTable(0, table.put()), S_OK);
    auto cols = MakePropTags(PR_ENTRYID);
    MapiRows rows;
    ASSERT_EQ(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()), S_OK);
    const SBinary& bin = rows->aRow[0].lpProps[0].Value.bin;
    id.assign(bin.lpb, bin.lpb + bin.cb);
  }
  SBinary bin{static_cast<ULONG>(id.size()), id.data()};
  ASSERT_TRUE(again.Open(module_.get(), bin));
  EXPECT_EQ(again.GetAttachmentCount(), 3);
  {
    MapiPtr<IMessage> raw;
    ASSERT_EQ(again.Item()->QueryInterface(IID_IMessage, raw.put_void()), S_OK);
    MapiPtr<IAttach> photo;
    ASSERT_EQ(raw->OpenAttach(2, nullptr, 0, photo.put()), S_OK);
    EXPECT_EQ(StringProp(photo.get(), PR_ATTACH_MIME_TAG_A), "image/jpeg");
    auto tags = MakePropTags(PR_ATTACHMENT_CONTACTPHOTO, PR_ATTACH_SIZE, PR_ATTACH_METHOD);
    ULONG n = 0;
    MapiBuffer<SPropValue> v;
    ASSERT_TRUE(SUCCEEDED(photo->GetProps(tags.get(), 0, &n, v.put())));
    EXPECT_EQ(v[0].ulPropTag, PR_ATTACHMENT_CONTACTPHOTO);
    EXPECT_NE(v[0].Value.b, 0);
    EXPECT_EQ(v[1].Value.l, 3);
    EXPECT_EQ(v[2].Value.l, static_cast<LONG>(ATTACH_BY_VALUE));
  }
  ReadBack reopened = ReadAll(again, 0);
  EXPECT_EQ(reopened.hr, S_OK);
  EXPECT_TRUE(reopened.bytes == data) << "the saved bytes differ from the file's";
}

TEST_F(MapiObjectsTest, ContactCarriesEveryFieldTheCacheWrites) {
  CMAPIContact contact;
  ASSERT_TRUE(contact.Create(module_.get())) << "in the Contacts folder when no folder is given";
  EXPECT_TRUE(contact.SetName("Ann Smith", PR_DISPLAY_NAME_A));
  EXPECT_TRUE(contact.SetName("Ann", 0x3A06001E));
  EXPECT_TRUE(contact.SetName("B.", 0x3A44001E));
  EXPECT_TRUE(contact.SetName("Smith", 0x3A11001E));
  EXPECT_FALSE(contact.SetName("Dr.", 0x3A45001E)) << "not a name tag";
  EXPECT_TRUE(contact.SetHomePage("https://example.org/ann", false));
  EXPECT_TRUE(contact.SetHomePage("https://example.com", true));
  EXPECT_TRUE(contact.SetNotes("Met at {the} fair\nCall back"));
  EXPECT_TRUE(contact.SetFileAs("Smith, Ann"));
  EXPECT_TRUE(contact.SetBirthday("04/15/1980"));
  EXPECT_TRUE(contact.SetEmail(1, "ann@example.org", "Ann"));
  EXPECT_TRUE(contact.SetCategories({"Customers", "VIP"}));
  EXPECT_TRUE(contact.SetPhoneNumber(0x3A08001E, "030", "123456"));
  CContactAddress address;
  address.street = "1 Main St";
  address.city = "Springfield";
  address.state = "IL";
  address.postalCode = "62701";
  address.country = "USA";
  EXPECT_EQ(address.Format(), "1 Main St\r\nSpringfield  IL  62701\r\nUSA");
  EXPECT_TRUE(contact.SetAddress(CMAPIContact::AddressKind::kBusiness, address));
  EXPECT_TRUE(contact.SetPicture(WriteFile("ann.jpg", "JPEG").c_str()));
  ASSERT_TRUE(contact.Save(false));
  std::vector<BYTE> id = contact.EntryID();
  ASSERT_FALSE(id.empty());
  contact.Close();
  std::unique_ptr<CMAPIFolder> contacts = module_->OpenContacts();
  ASSERT_TRUE(contacts);
  EXPECT_EQ(Subjects(contacts->Folder()).size(), 1u) << "saved in Contacts";

  CMAPIContact read;
  SBinary bin{static_cast<ULONG>(id.size()), id.data()};
  ASSERT_TRUE(read.Open(module_.get(), bin));
  std::string text;
  ASSERT_TRUE(read.GetMessageClass(&text));
  EXPECT_EQ(text, "IPM.Contact");
  EXPECT_EQ(read.GetPropertyLong(PR_IMPORTANCE, -1), 1);
  EXPECT_EQ(read.GetPropertyLong(PR_SENSITIVITY, -1), 0);
  for (auto [tag, want] : {std::pair<ULONG, const char*>{PR_DISPLAY_NAME_A, "Ann Smith"}, {0x3A06001E, "Ann"},
                           {0x3A44001E, "B."}, {0x3A11001E, "Smith"}, {0x3A50001E, "https://example.org/ann"},
                           {0x3A51001E, "https://example.com"}, {0x3A08001E, "(030) 123456"},
                           {0x3A27001E, "Springfield"}}) {
    ASSERT_TRUE(read.GetName(&text, tag)) << std::hex << tag;
    EXPECT_EQ(text, want);
  }
  ASSERT_TRUE(read.GetPropertyString(PR_BODY_A, &text, true));
  EXPECT_EQ(text, "Met at {the} fair\nCall back");
  MapiBuffer<SPropValue> rtf;
  EXPECT_EQ(read.GetProperty(PR_RTF_COMPRESSED, rtf.put()), S_OK);
  EXPECT_EQ(rtf->ulPropTag, PR_RTF_COMPRESSED);
  ASSERT_TRUE(read.GetFileAs(&text));
  EXPECT_EQ(text, "Smith, Ann");
  ASSERT_TRUE(read.GetBirthday(&text));
  EXPECT_EQ(text, "04/15/1980");
  ASSERT_TRUE(read.GetEmail(1, &text));
  EXPECT_EQ(text, "ann@example.org");
  std::vector<std::string> categories;
  ASSERT_TRUE(read.GetCategories(&categories));
  EXPECT_EQ(categories, (std::vector<std::string>{"Customers", "VIP"}));
  EXPECT_EQ(read.GetAttachmentName(0), "ContactPicture.jpg");
  // The file-as property is the long ID 0x8005 of PSETID_Address.
  ULONG tag = 0;
  ASSERT_EQ(read.GetNamedPropTag(NamedPropKey::ById(0x00062004, 0x8005), PT_STRING8, false, &tag), S_OK);
  EXPECT_EQ(StringProp(read.Item(), tag), "Smith, Ann");
}

TEST_F(MapiObjectsTest, DraftHtmlFollowsTheStoreSupport) {
  std::unique_ptr<CMAPIFolder> drafts = module_->OpenDrafts();
  ASSERT_TRUE(drafts);
  CMAPIMessage html;
  ASSERT_TRUE(html.Create(module_.get(), 0, true, drafts.get()));
  ASSERT_TRUE(html.SetSubject("Draft"));
  ASSERT_TRUE(html.SetHTML("<p>Hello</p>"));
  ASSERT_TRUE(html.Save(false));
  std::string text;
  ASSERT_TRUE(html.GetPropertyString(PR_BODY_HTML_A, &text, true));
  EXPECT_EQ(text, "<p>Hello</p>");
  EXPECT_EQ(html.GetMessageEditorFormat(), 2);
  EXPECT_EQ(html.GetPropertyLong(PR_IMPORTANCE, -1), 0);
  EXPECT_NE(html.GetMessageFlags() & MSGFLAG_UNSENT, 0u);
  MapiBuffer<SPropValue> sent;
  ASSERT_EQ(html.GetProperty(PR_SENTMAIL_ENTRYID, sent.put()), S_OK);
  EXPECT_EQ(sent->ulPropTag, PR_SENTMAIL_ENTRYID) << "kept in Sent Items";
  EXPECT_EQ(Subjects(drafts->Folder()), (std::vector<std::string>{"Draft"}));

  auto plain = LogOn("plain");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->GetStoreSupportMask() & STORE_HTML_OK, 0u);
  CMAPIMessage rtf;
  ASSERT_TRUE(rtf.Create(plain.get(), 1, false, nullptr)) << "in the Outbox when no folder is given";
  ASSERT_TRUE(rtf.SetHTML("<p>Hello</p>"));
  ASSERT_TRUE(rtf.Save(false));
  {
    std::unique_ptr<CMAPIFolder> outbox = plain->OpenOutbox();
    ASSERT_TRUE(outbox);
    EXPECT_EQ(Subjects(outbox->Folder()).size(), 1u) << "saved in the Outbox";
  }
  EXPECT_EQ(rtf.GetPropertyLong(PR_IMPORTANCE, -1), -1) << "normal importance is not written";
  EXPECT_EQ(rtf.GetPropertyLong(PR_DELETE_AFTER_SUBMIT, 0), 1);
  MapiPtr<IStream> compressed, stream;
  ASSERT_EQ(rtf.Item()->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, 0, 0, compressed.put_unknown()), S_OK);
  ASSERT_EQ(WrapCompressedRTFStream(compressed.get(), 0, stream.put()), S_OK);
  char buf[256] = {};
  ULONG read = 0;
  ASSERT_EQ(stream->Read(buf, sizeof(buf) - 1, &read), S_OK);
  std::string body(buf, read);
  ASSERT_EQ(body.rfind("{\\rtf1\\ansi\\ansicpg", 0), 0u) << body;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(body[19]))) << body;
  EXPECT_NE(body.find("\\fromhtml1 {\\*\\htmltag1 <p>Hello</p> }}"), std::string::npos) << body;
}

TEST_F(MapiObjectsTest, SendDeliversLocallyAndKeepsACopy) {
  std::unique_ptr<CMAPIFolder> drafts = module_->OpenDrafts();
  ASSERT_TRUE(drafts);
  CMAPIMessage msg;
  ASSERT_TRUE(msg.Create(module_.get(), 1, true, drafts.get()));
  ASSERT_TRUE(msg.SetSubject("Local delivery"));
  ASSERT_TRUE(msg.SetBody("Hello Ann"));
  EXPECT_EQ(msg.GetMessageEditorFormat(), 1);
  ASSERT_TRUE(msg.AddRecipient("asmith@example.org", MAPI_TO));
  ASSERT_TRUE(msg.AddRecipient("Plain", MAPI_CC, "SMTP"));
  EXPECT_FALSE(msg.AddRecipient("not an address", MAPI_BCC));
  ASSERT_TRUE(msg.SetReadReceipt(true));
  ASSERT_TRUE(msg.Save(false));
  ASSERT_TRUE(msg.Send());
  EXPECT_FALSE(msg.SetSubject("too late")) << "submitted messages are read-only";

  for (const char* alias : {"asmith", "plain"}) {
    MapiPtr<IMAPIFolder> inbox;
    std::string err;
    ASSERT_EQ(admin_->OpenFolder(alias, false, "Inbox", inbox.put(), &err), S_OK) << err;
    EXPECT_EQ(Subjects(inbox.get()), (std::vector<std::string>{"Local delivery"})) << alias;
  }
  std::unique_ptr<CMAPIFolder> sent = module_->OpenSentItems();
  EXPECT_EQ(Subjects(sent->Folder()), (std::vector<std::string>{"Local delivery"}));
  EXPECT_TRUE(Subjects(drafts->Folder()).empty());
}

TEST_F(MapiObjectsTest, FolderContentsSubfoldersAndNamedProperties) {
  std::unique_ptr<CMAPIFolder> inbox = module_->OpenInbox();
  ASSERT_TRUE(inbox);
  auto created = inbox->CreateSubFolder("Projects", "IPF.Task");
  ASSERT_TRUE(created);
  auto same = inbox->CreateSubFolder("projects", nullptr);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->EntryID(), created->EntryID());
  std::vector<ZUV_FolderInfo_s> list;
  ASSERT_EQ(inbox->GetHierarchy(&list), S_OK);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "Projects");
  EXPECT_EQ(list[0].containerClass, "IPF.Task");
  EXPECT_EQ(list[0].entryID, zuv::EntryIDToString(created->EntryID().data(), created->EntryID().size()));

  CMAPIObject item;
  EXPECT_FALSE(item.Create(module_.get(), nullptr)) << "an item needs a folder";
  ASSERT_TRUE(item.Create(module_.get(), inbox.get()));
  ASSERT_TRUE(item.Save(false));
  std::string error;
  ASSERT_TRUE(inbox->GetContents(&error)) << error;
  ULONG count = 0;
  ASSERT_EQ(inbox->ContentsTable()->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 1u);
  std::vector<BYTE> id = item.EntryID();
  item.Close();
  EXPECT_EQ(inbox->DeleteMessage(SBinary{static_cast<ULONG>(id.size()), id.data()}), S_OK);
  EXPECT_TRUE(Subjects(inbox->Folder()).empty());

  // String-named properties resolve in PS_PUBLIC_STRINGS.
  ULONG tag = 0, again = 0, by_guid = 0;
  EXPECT_EQ(inbox->ProptagFromString("CustomerNumber", PT_LONG, &tag), 1);
  ASSERT_EQ(inbox->ProptagFromString("CustomerNumber", PT_STRING8, &tag, true), 0);
  EXPECT_EQ(PROP_TYPE(tag), PT_STRING8);
  EXPECT_GE(PROP_ID(tag), 0x8000u);
  ASSERT_EQ(inbox->ProptagFromString("CustomerNumber", PT_LONG, &again), 0);
  EXPECT_EQ(again, CHANGE_PROP_TYPE(tag, PT_LONG));
  ASSERT_EQ(inbox->ProptagFromString(&PSETID_Address, "CustomerNumber", PT_LONG, &by_guid), 0);
  EXPECT_EQ(by_guid, again);
  EXPECT_EQ(inbox->ProptagFromString(nullptr, PT_LONG, &tag, true), 1) << "a null name has no ID";
}

}  // namespace
