// mapimessage.cpp: CMAPIMessage, CMAPIContact and CContactAddress.
#include "mapi_access/mapimessage.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"

namespace {

constexpr const char* kFile = "zuv_service/mapimessage";
constexpr uint32_t kPsetidAddress = 0x00062004;  // PSETID_Address

// PSETID_Address long IDs.
constexpr LONG kLidFileAs = 0x8005;
constexpr LONG kLidHasPicture = 0x8015;
constexpr LONG kLidHomeAddress = 0x801A;
constexpr LONG kLidWorkAddress = 0x801B;
constexpr LONG kLidOtherAddress = 0x801C;
constexpr LONG kLidEmail1DisplayName = 0x8080;  // Email2 and Email3 follow at +0x10, +0x20
constexpr LONG kLidEmailAddrTypeOffset = 2;
constexpr LONG kLidEmailAddressOffset = 3;
constexpr LONG kLidEmailOriginalDisplayNameOffset = 4;

constexpr ULONG PR_GIVEN_NAME_A = 0x3A06001E;
constexpr ULONG PR_MIDDLE_NAME_A = 0x3A44001E;
constexpr ULONG PR_SURNAME_A = 0x3A11001E;
constexpr ULONG PR_BUSINESS_HOME_PAGE_A = 0x3A51001E;
constexpr ULONG PR_PERSONAL_HOME_PAGE_A = 0x3A50001E;

// Street, city, state, postal code and country tags of each address kind.
struct AddressTags {
  ULONG street, city, state, postal_code, country;
  LONG formatted_lid;
};
constexpr AddressTags kBusinessAddress{0x3A29001E, 0x3A27001E, 0x3A28001E, 0x3A2A001E, 0x3A26001E, kLidWorkAddress};
constexpr AddressTags kHomeAddress{0x3A5D001E, 0x3A59001E, 0x3A5C001E, 0x3A5B001E, 0x3A5A001E, kLidHomeAddress};
constexpr AddressTags kOtherAddress{0x3A63001E, 0x3A5F001E, 0x3A62001E, 0x3A61001E, 0x3A60001E, kLidOtherAddress};

const char* Str(const char* s) { return s != nullptr ? s : ""; }

NamedPropKey AddressLid(LONG lid) { return NamedPropKey::ById(kPsetidAddress, lid); }

// Plain text as the body of an RTF document.
std::string TextToRtf(const char* text) {
  std::string rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 ";
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '\\': case '{': case '}':
        rtf.push_back('\\');
        rtf.push_back(*p);
        break;
      case '\r':
        break;
      case '\n':
        rtf += "\\par ";
        break;
      default:
        rtf.push_back(*p);
    }
  }
  rtf += "}";
  return rtf;
}

}  // namespace

// ---- CMAPIMessage ----

bool CMAPIMessage::Open(CMapiExMod* module, const SBinary& entryID) {
  if (!CMAPIObject::Open(module, entryID)) return false;
  if (!AsMessage()) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot do OpenENtry using the specified entryID:%s", kFile, "CMAPIMessage::Open",
                zuv::EntryIDToString(entryID.lpb, entryID.cb).c_str());
    Close();
    return false;
  }
  return true;
}

bool CMAPIMessage::Create(CMapiExMod* module, ULONG importance, bool saveToSent, CMAPIFolder* folder) {
  if (module == nullptr) return false;
  std::unique_ptr<CMAPIFolder> outbox;
  if (folder == nullptr) {
    outbox = module->OpenOutbox();
    folder = outbox.get();
  }
  if (folder == nullptr || !CMAPIObject::Create(module, folder)) return false;
  if (!SetMessageFlags(MSGFLAG_UNSENT | MSGFLAG_FROMME)) return false;
  MapiPtr<IMsgStore> store = module->GetMailboxStore();
  auto tags = MakePropTags(PR_IPM_SENTMAIL_ENTRYID);
  ULONG count = 0;
  MapiBuffer<SPropValue> sent;
  bool have_sent = store && SUCCEEDED(store->GetProps(tags.get(), 0, &count, sent.put())) &&
                   count == 1 && sent->ulPropTag == PR_IPM_SENTMAIL_ENTRYID;
  SPropValue v{};
  if (saveToSent && have_sent) {
    v.ulPropTag = PR_SENTMAIL_ENTRYID;
    v.Value.bin = sent->Value.bin;
  } else {
    v.ulPropTag = PR_DELETE_AFTER_SUBMIT;
    v.Value.b = 1;
  }
  if (!SetProperties(1, &v)) return false;
  if (importance != 1 && !SetPropertyLong(PR_IMPORTANCE, static_cast<LONG>(importance))) return false;
  return true;
}

bool CMAPIMessage::AddRecipient(const char* address, ULONG type, const char* addressType) {
  const char* fn = "CMAPIMessage::AddRecipient";
  MapiPtr<IMessage> message = AsMessage();
  IMAPISession* session = module_ != nullptr ? module_->GetSession() : nullptr;
  if (!message || session == nullptr || address == nullptr) return false;

  // ResolveName replaces an entry's values: everything must be one
  // MAPIAllocateBuffer chain per entry.
  LPADRLIST list = nullptr;
  if (MAPIAllocateBuffer(CbNewADRLIST(1), reinterpret_cast<void**>(&list)) != S_OK) return false;
  list->cEntries = 1;
  ADRENTRY& entry = list->aEntries[0];
  entry.ulAdrEntryPad = 0;
  entry.cValues = 0;
  entry.lpProps = nullptr;
  const ULONG count = addressType != nullptr ? 3 : 2;
  auto copy = [](const char* text, void* parent) -> char* {
    void* buf = nullptr;
    size_t len = std::strlen(text) + 1;
    if (MAPIAllocateMore(static_cast<ULONG>(len), parent, &buf) != S_OK) return nullptr;
    std::memcpy(buf, text, len);
    return static_cast<char*>(buf);
  };
  bool ok = MAPIAllocateBuffer(count * sizeof(SPropValue), reinterpret_cast<void**>(&entry.lpProps)) == S_OK;
  if (ok) {
    entry.cValues = count;
    entry.lpProps[0].ulPropTag = PR_RECIPIENT_TYPE;
    entry.lpProps[0].Value.l = static_cast<LONG>(type);
    entry.lpProps[1].ulPropTag = PR_DISPLAY_NAME_A;
    entry.lpProps[1].Value.lpszA = copy(address, entry.lpProps);
    ok = entry.lpProps[1].Value.lpszA != nullptr;
    if (ok && addressType != nullptr) {
      entry.lpProps[2].ulPropTag = PR_ADDRTYPE_A;
      entry.lpProps[2].Value.lpszA = copy(addressType, entry.lpProps);
      ok = entry.lpProps[2].Value.lpszA != nullptr;
    }
  }
  HRESULT hr = ok ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
  MapiPtr<IAddrBook> book;
  if (SUCCEEDED(hr)) hr = session->OpenAddressBook(0, nullptr, 0, book.put());
  if (SUCCEEDED(hr)) hr = book->ResolveName(0, 0, nullptr, list);
  if (SUCCEEDED(hr)) hr = message->ModifyRecipients(MODRECIP_ADD, list);
  FreePadrlist(list);
  if (FAILED(hr)) {
    module_->LogMapiError(hr, kFile, fn);
    return false;
  }
  return true;
}

bool CMAPIMessage::SetSubject(const char* text) { return SetPropertyString(PR_SUBJECT_A, text, false); }

bool CMAPIMessage::SetReadReceipt(bool flag) { return SetPropertyBool(PR_READ_RECEIPT_REQUESTED, flag); }

bool CMAPIMessage::SetReadReceipt(bool flag, const char* address) {
  constexpr ULONG PR_READ_RECEIPT_SMTP_ADDRESS_A = 0x5D05001E;
  if (!SetReadReceipt(flag)) return false;
  return address == nullptr || address[0] == '\0' || SetPropertyString(PR_READ_RECEIPT_SMTP_ADDRESS_A, address, false);
}

bool CMAPIMessage::Send() {
  const char* fn = "CMAPIMessage::Send";
  MapiPtr<IMessage> message = AsMessage();
  if (!message) return false;
  HRESULT hr = message->SubmitMessage(0);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, fn, ItemErrorText(hr).c_str());
    return false;
  }
  return true;
}

bool CMAPIMessage::GetRecipients(std::vector<Recipient_s>* recipients) {
  constexpr ULONG PR_RESPONSIBILITY = 0x0E0F000B;
  constexpr ULONG PR_SMTP_ADDRESS_A = 0x39FE001E;
  constexpr ULONG PR_EMAIL_ADDRESS_A = 0x3003001E;
  MapiPtr<IMessage> message = AsMessage();
  MapiPtr<IMAPITable> table;
  if (!message || FAILED(message->GetRecipientTable(0, table.put()))) return false;
  constexpr ULONG PR_ACCOUNT_A = 0x3A00001E;
  auto cols = MakePropTags(PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A, PR_SMTP_ADDRESS_A, PR_EMAIL_ADDRESS_A, PR_RESPONSIBILITY,
                           PR_ACCOUNT_A);
  if (FAILED(table->SetColumns(cols.get(), 0))) return false;
  recipients->clear();
  for (;;) {
    MapiRows rows;
    if (FAILED(table->QueryRows(64, 0, rows.put()))) return false;
    if (rows->cRows == 0) return true;
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* v = rows->aRow[r].lpProps;
      Recipient_s rcpt;
      if (v[0].ulPropTag == PR_RECIPIENT_TYPE) rcpt.type = static_cast<ULONG>(v[0].Value.l);
      if (v[1].ulPropTag == PR_DISPLAY_NAME_A) rcpt.displayName = v[1].Value.lpszA;
      if (v[2].ulPropTag == PR_SMTP_ADDRESS_A) rcpt.address = v[2].Value.lpszA;
      if (rcpt.address.empty() && v[3].ulPropTag == PR_EMAIL_ADDRESS_A) rcpt.address = v[3].Value.lpszA;
      if (v[4].ulPropTag == PR_RESPONSIBILITY) rcpt.responsibility = v[4].Value.b != 0;
      rcpt.directoryEntry = v[5].ulPropTag == PR_ACCOUNT_A;
      recipients->push_back(std::move(rcpt));
    }
  }
}

bool CMAPIMessage::GetAttachments(std::vector<std::pair<ULONG, std::string>>* attachments) {
  MapiPtr<IMessage> message = AsMessage();
  MapiPtr<IMAPITable> table;
  if (!message || FAILED(message->GetAttachmentTable(0, table.put()))) return false;
  auto cols = MakePropTags(PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_FILENAME_A);
  if (FAILED(table->SetColumns(cols.get(), 0))) return false;
  attachments->clear();
  for (;;) {
    MapiRows rows;
    if (FAILED(table->QueryRows(64, 0, rows.put()))) return false;
    if (rows->cRows == 0) return true;
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* v = rows->aRow[r].lpProps;
      if (v[0].ulPropTag != PR_ATTACH_NUM) continue;
      std::string name;
      if (v[1].ulPropTag == PR_ATTACH_LONG_FILENAME_A) name = v[1].Value.lpszA;
      if (name.empty() && v[2].ulPropTag == PR_ATTACH_FILENAME_A) name = v[2].Value.lpszA;
      attachments->emplace_back(v[0].Value.ul, std::move(name));
    }
  }
}

// ---- CContactAddress ----

std::string CContactAddress::Format() const {
  return street + "\r\n" + city + "  " + state + "  " + postalCode + "\r\n" + country;
}

// ---- CMAPIContact ----

bool CMAPIContact::Create(CMapiExMod* module, CMAPIFolder* folder) {
  if (module == nullptr) return false;
  std::unique_ptr<CMAPIFolder> contacts;
  if (folder == nullptr) {
    contacts = module->OpenContacts();
    folder = contacts.get();
  }
  if (folder == nullptr || !CMAPIObject::Create(module, folder)) return false;
  return SetPropertyString(PR_MESSAGE_CLASS_A, "IPM.Contact", false) && SetPropertyLong(PR_IMPORTANCE, 1) &&
         SetPropertyLong(PR_SENSITIVITY, 0);
}

bool CMAPIContact::SetName(const char* text, ULONG tag) {
  for (ULONG allowed : {PR_DISPLAY_NAME_A, PR_GIVEN_NAME_A, PR_MIDDLE_NAME_A, PR_SURNAME_A}) {
    if (tag == allowed) return SetPropertyString(tag, text, false);
  }
  return false;
}

bool CMAPIContact::GetName(std::string* text, ULONG tag) { return GetPropertyString(tag, text, false); }

bool CMAPIContact::SetHomePage(const char* url, bool business) {
  return SetPropertyString(business ? PR_BUSINESS_HOME_PAGE_A : PR_PERSONAL_HOME_PAGE_A, url, false);
}

bool CMAPIContact::SetNotes(const char* text) {
  if (text == nullptr || !SetPropertyString(PR_BODY_A, text, true)) return false;
  return SetRTF(TextToRtf(text).c_str());
}

bool CMAPIContact::SetFileAs(const char* text) { return SetNamedString(AddressLid(kLidFileAs), text); }

bool CMAPIContact::GetFileAs(std::string* text) { return GetNamedString(AddressLid(kLidFileAs), text); }

bool CMAPIContact::SetDate(ULONG tag, const char* date) {
  FILETIME ft{};
  if (date == nullptr || !zuv::LocalDateToFileTime(date, &ft)) return false;
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.ft = ft;
  return SetProperties(1, &v);
}

bool CMAPIContact::GetDate(ULONG tag, std::string* date) {
  MapiBuffer<SPropValue> v;
  if (FAILED(GetProperty(tag, v.put())) || v->ulPropTag != tag) return false;
  *date = zuv::FileTimeToLocalDate(v->Value.ft);
  return true;
}

bool CMAPIContact::SetEmail(int index, const char* address, const char* displayName) {
  if (index < 1 || index > 3 || address == nullptr) return false;
  const LONG base = kLidEmail1DisplayName + (index - 1) * 0x10;
  const char* shown = displayName != nullptr && displayName[0] != '\0' ? displayName : address;
  return SetNamedString(AddressLid(base), shown) && SetNamedString(AddressLid(base + kLidEmailAddrTypeOffset), "SMTP") &&
         SetNamedString(AddressLid(base + kLidEmailAddressOffset), address) &&
         SetNamedString(AddressLid(base + kLidEmailOriginalDisplayNameOffset), address);
}

bool CMAPIContact::GetEmail(int index, std::string* address) {
  if (index < 1 || index > 3) return false;
  const LONG base = kLidEmail1DisplayName + (index - 1) * 0x10;
  return GetNamedString(AddressLid(base + kLidEmailAddressOffset), address);
}

bool CMAPIContact::SetPhoneNumber(ULONG tag, const char* areaCode, const char* number) {
  if (number == nullptr) return false;
  char text[512];
  std::snprintf(text, sizeof(text), "(%s) %s", Str(areaCode), number);
  return SetPropertyString(tag, text, false);
}

bool CMAPIContact::SetAddress(AddressKind kind, const CContactAddress& address) {
  const AddressTags& t = kind == AddressKind::kBusiness ? kBusinessAddress
                         : kind == AddressKind::kHome   ? kHomeAddress
                                                        : kOtherAddress;
  return SetPropertyString(t.street, address.street.c_str(), false) &&
         SetPropertyString(t.city, address.city.c_str(), false) &&
         SetPropertyString(t.state, address.state.c_str(), false) &&
         SetPropertyString(t.postal_code, address.postalCode.c_str(), false) &&
         SetPropertyString(t.country, address.country.c_str(), false) &&
         SetNamedString(AddressLid(t.formatted_lid), address.Format().c_str());
}

bool CMAPIContact::SetCategories(const std::vector<std::string>& categories) {
  return SetNamedStrings(NamedPropKey::ByName("Keywords"), categories);
}

bool CMAPIContact::GetCategories(std::vector<std::string>* categories) {
  return GetNamedStrings(NamedPropKey::ByName("Keywords"), categories);
}

bool CMAPIContact::SetPicture(const char* path) {
  return AddAttachmentFile(path, 0, nullptr, "ContactPicture.jpg") && SetNamedBool(AddressLid(kLidHasPicture), true);
}
