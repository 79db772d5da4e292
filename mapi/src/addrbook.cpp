// addrbook.cpp: IAddrBook and IMailUser over the mailboxes of the database.
//
// ResolveName looks each unresolved entry up by its display name, then by its
// e-mail address: first as a mailbox's alias, SMTP address or legacy DN, then
// as a mailbox's display name (more than one match is ambiguous), and last as
// a one-off SMTP address when the text has that form ("user@host", also
// "Name <user@host>"). The list changes only when every entry resolves.
#include "addrbook.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <optional>

#include "entryid.h"
#include "mapi/mapitags.h"
#include "message.h"
#include "prop_object.h"

namespace zuvstore {
namespace {

constexpr ULONG kPrDisplayType = 0x39000003;
constexpr LONG kDtMailUser = 0;

constexpr uint16_t Id(ULONG tag) { return static_cast<uint16_t>(tag >> 16); }

// An address-book entry as ResolveName and IMailUser show it.
struct AddressEntry {
  std::string entry_id;
  std::string display_name;
  std::string smtp;
  std::string alias;                 // mailboxes only
  std::vector<std::string> proxies;  // mailboxes only: "SMTP:primary", "smtp:other"
};

AddressEntry MailboxEntry(const StoreInfo& box) {
  AddressEntry e;
  e.entry_id = MakeMailUserEntryId(box.guid);
  e.display_name = box.display_name;
  e.smtp = box.smtp.empty() ? std::string() : box.smtp.front();
  e.alias = box.alias;
  for (size_t i = 0; i < box.smtp.size(); ++i)
    e.proxies.push_back((i == 0 ? "SMTP:" : "smtp:") + box.smtp[i]);
  return e;
}

AddressEntry OneOffEntry(std::string display_name, std::string address) {
  AddressEntry e;
  if (display_name.empty()) display_name = address;
  e.entry_id = MakeOneOffEntryId(display_name, address);
  e.display_name = std::move(display_name);
  e.smtp = std::move(address);
  return e;
}

// PR_SEARCH_KEY in MAPI's form: "ADDRTYPE:ADDRESS" in upper case with its NUL.
std::string SearchKey(const std::string& smtp) {
  std::string key = "SMTP:" + smtp;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  key.push_back('\0');
  return key;
}

// The entry's values, strings as string_type (PT_STRING8 or PT_UNICODE).
std::vector<std::pair<ULONG, StoredProp>> EntryValues(const AddressEntry& e, ULONG string_type) {
  auto str = [string_type](ULONG tag) { return CHANGE_PROP_TYPE(tag, string_type); };
  std::vector<std::pair<ULONG, StoredProp>> v = {
      {PR_ENTRYID, MakeBinary(e.entry_id)},         {str(PR_DISPLAY_NAME), MakeString8(e.display_name)},
      {str(PR_EMAIL_ADDRESS), MakeString8(e.smtp)}, {str(PR_ADDRTYPE), MakeString8("SMTP")},
      {str(PR_SMTP_ADDRESS), MakeString8(e.smtp)},  {PR_OBJECT_TYPE, MakeLong(MAPI_MAILUSER)},
      {kPrDisplayType, MakeLong(kDtMailUser)},      {PR_SEARCH_KEY, MakeBinary(SearchKey(e.smtp))},
  };
  if (!e.alias.empty()) v.emplace_back(str(PR_ACCOUNT), MakeString8(e.alias));
  if (!e.proxies.empty()) {
    std::vector<std::string> copies = e.proxies;
    std::vector<char*> ptrs;
    for (std::string& s : copies) ptrs.push_back(s.data());
    SPropValue mv{};
    mv.ulPropTag = PR_EMS_AB_PROXY_ADDRESSES;
    mv.Value.MVszA.cValues = static_cast<ULONG>(ptrs.size());
    mv.Value.MVszA.lppszA = ptrs.data();
    StoredProp stored;
    if (SUCCEEDED(EncodeProp(mv, &stored))) {
      v.emplace_back(CHANGE_PROP_TYPE(PR_EMS_AB_PROXY_ADDRESSES, MV_FLAG | string_type), std::move(stored));
    }
  }
  return v;
}

// The text of a string value of entry with tag's ID; empty when absent.
std::string EntryString(const ADRENTRY& entry, ULONG tag) {
  for (ULONG i = 0; i < entry.cValues; ++i) {
    const SPropValue& v = entry.lpProps[i];
    if (PROP_ID(v.ulPropTag) != PROP_ID(tag)) continue;
    if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA != nullptr) return v.Value.lpszA;
    if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW != nullptr) {
      size_t n = 0;
      while (v.Value.lpszW[n] != 0) ++n;
      return Utf16ToUtf8(v.Value.lpszW, n);
    }
  }
  return std::string();
}

bool HasEntryId(const ADRENTRY& entry) {
  for (ULONG i = 0; i < entry.cValues; ++i) {
    if (entry.lpProps[i].ulPropTag == PR_ENTRYID) return true;
  }
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Splits "Name <address>" into its parts; false for other texts.
bool SplitNamedAddress(std::string_view text, std::string* name, std::string* address) {
  size_t open = text.rfind('<');
  if (open == std::string_view::npos || text.empty() || text.back() != '>') return false;
  *address = std::string(Trim(text.substr(open + 1, text.size() - open - 2)));
  std::string_view n = Trim(text.substr(0, open));
  if (n.size() >= 2 && n.front() == '"' && n.back() == '"') n = n.substr(1, n.size() - 2);
  *name = std::string(n);
  return true;
}

std::string_view WithoutSmtpPrefix(std::string_view s) {
  if (s.size() > 5 && (s.substr(0, 5) == "SMTP:" || s.substr(0, 5) == "smtp:")) s.remove_prefix(5);
  return s;
}

// Resolves one entry's texts. S_OK with *out, MAPI_E_NOT_FOUND,
// MAPI_E_AMBIGUOUS_RECIP, or a database failure.
HRESULT ResolveOne(sqlite3* db, const std::string& display_name, const std::string& email,
                   AddressEntry* out) {
  struct Candidate {
    std::string text;   // what is looked up
    std::string shown;  // display name for a one-off
  };
  std::vector<Candidate> candidates;
  for (const std::string& raw : {display_name, email}) {
    std::string_view t = Trim(raw);
    if (t.empty()) continue;
    std::string name, address;
    if (SplitNamedAddress(t, &name, &address)) {
      candidates.push_back({address, name});
    } else {
      candidates.push_back({std::string(t), display_name});
    }
  }
  for (const Candidate& c : candidates) {
    StoreInfo box;
    HRESULT hr = FindMailbox(db, c.text, &box);
    if (SUCCEEDED(hr)) {
      *out = MailboxEntry(box);
      return S_OK;
    }
    if (hr != MAPI_E_NOT_FOUND) return hr;
  }
  for (const Candidate& c : candidates) {
    std::vector<int64_t> ids;
    {
      Stmt s(db,
             "SELECT id FROM stores WHERE kind = ? AND display_name = ? COLLATE NOCASE ORDER BY id LIMIT 2");
      s.Bind(1, kStoreKindMailbox).Bind(2, c.text);
      while (s.Step() == SQLITE_ROW) ids.push_back(s.Int(0));
    }
    if (ids.size() > 1) return MAPI_E_AMBIGUOUS_RECIP;
    if (ids.size() == 1) {
      StoreInfo box;
      HRESULT hr = LoadStore(db, ids[0], &box);
      if (FAILED(hr)) return hr;
      *out = MailboxEntry(box);
      return S_OK;
    }
  }
  for (const Candidate& c : candidates) {
    std::string address(WithoutSmtpPrefix(c.text));
    if (!LooksLikeSmtpAddress(address)) continue;
    std::string shown(Trim(c.shown));
    *out = OneOffEntry(shown, address);
    return S_OK;
  }
  return MAPI_E_NOT_FOUND;
}

// Replaces entry's values with resolved's plus the entry's other values (its
// PR_RECIPIENT_TYPE among them), as one new MAPIAllocateBuffer chain.
HRESULT RebuildEntry(const AddressEntry& resolved, ULONG string_type, ADRENTRY* entry) {
  std::vector<std::pair<ULONG, StoredProp>> values = EntryValues(resolved, string_type);
  for (ULONG i = 0; i < entry->cValues; ++i) {
    const SPropValue& v = entry->lpProps[i];
    bool replaced = std::any_of(values.begin(), values.end(),
                                [&](const auto& tv) { return PROP_ID(tv.first) == PROP_ID(v.ulPropTag); });
    StoredProp stored;
    if (replaced || FAILED(EncodeProp(v, &stored))) continue;  // errors and nulls are dropped
    values.emplace_back(v.ulPropTag, std::move(stored));
  }
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(values.size() * sizeof(SPropValue)), &buf) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  auto* props = static_cast<SPropValue*>(buf);
  for (size_t i = 0; i < values.size(); ++i) {
    HRESULT hr = DecodeProp(values[i].first, values[i].second, buf, &props[i]);
    if (FAILED(hr)) {
      MAPIFreeBuffer(buf);
      return hr;
    }
  }
  MAPIFreeBuffer(entry->lpProps);
  entry->lpProps = props;
  entry->cValues = static_cast<ULONG>(values.size());
  return S_OK;
}

// A context for objects that live outside any store: the database only.
std::shared_ptr<StoreContext> DirectoryContext(std::shared_ptr<Db> db) {
  auto ctx = std::make_shared<StoreContext>();
  ctx->db = std::move(db);
  return ctx;
}

class MailUser final : public PropObject<IMailUser> {
 public:
  MailUser(std::shared_ptr<StoreContext> ctx, PropMap props) : PropObject(std::move(ctx)) {
    read_only_ = true;
    props_ = std::move(props);
  }
  HRESULT SaveChanges(ULONG) override {
    return error_.Set(MAPI_E_NO_ACCESS, "address-book entries are read-only");
  }

 protected:
  bool Computed(uint16_t, StoredProp*) override { return false; }
  const std::vector<uint16_t>& ComputedIds() const override {
    static const std::vector<uint16_t> none;
    return none;
  }

 private:
  ~MailUser() override = default;
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IMailUser) || SameIid(riid, IID_IMAPIProp);
  }
};

class AddrBook final : public PropObject<IAddrBook> {
 public:
  explicit AddrBook(std::shared_ptr<StoreContext> ctx) : PropObject(std::move(ctx)) { read_only_ = true; }

  HRESULT SaveChanges(ULONG) override {
    return error_.Set(MAPI_E_NO_ACCESS, "the address book is read-only");
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID entry_id, LPCIID, ULONG, ULONG* obj_type, LPUNKNOWN* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (cb == 0 || entry_id == nullptr) {
      return error_.Set(MAPI_E_NO_SUPPORT, "the address book has no containers to open");
    }
    IMailUser* user = nullptr;
    HRESULT hr = OpenMailUser(store_->db, cb, entry_id, &user);
    if (FAILED(hr)) return error_.Set(hr, "cannot open the address-book entry");
    if (obj_type) *obj_type = MAPI_MAILUSER;
    *out = user;
    return S_OK;
  }

  HRESULT ResolveName(ULONG_PTR, ULONG flags, LPSTR, LPADRLIST list) override {
    HRESULT hr = Guarded([&] { return ResolveList(flags, list); });
    return hr == MAPI_E_NOT_ENOUGH_MEMORY ? error_.Set(hr, "no memory to resolve names") : hr;
  }

 protected:
  bool Computed(uint16_t prop_id, StoredProp* out) override {
    if (prop_id != Id(PR_OBJECT_TYPE)) return false;
    *out = MakeLong(MAPI_ADDRBOOK);
    return true;
  }
  const std::vector<uint16_t>& ComputedIds() const override {
    static const std::vector<uint16_t> ids = {Id(PR_OBJECT_TYPE)};
    return ids;
  }

 private:
  ~AddrBook() override = default;

  // ResolveName's work; allocation failures throw (ResolveName catches them).
  HRESULT ResolveList(ULONG flags, LPADRLIST list) {
    if (list == nullptr) return MAPI_E_INVALID_PARAMETER;
    for (ULONG i = 0; i < list->cEntries; ++i) {
      if (list->aEntries[i].cValues > 0 && list->aEntries[i].lpProps == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    }
    std::vector<std::optional<AddressEntry>> resolved(list->cEntries);
    HRESULT verdict = S_OK;
    std::string problem, err;
    HRESULT hr = store_->db->Read(
        [&](sqlite3* db) {
          return Guarded([&]() -> HRESULT {
            for (ULONG i = 0; i < list->cEntries; ++i) {
              const ADRENTRY& entry = list->aEntries[i];
              if (HasEntryId(entry)) continue;
              const std::string name = EntryString(entry, PR_DISPLAY_NAME);
              AddressEntry found;
              HRESULT one = ResolveOne(db, name, EntryString(entry, PR_EMAIL_ADDRESS), &found);
              if (one == MAPI_E_AMBIGUOUS_RECIP || one == MAPI_E_NOT_FOUND) {
                // An ambiguous entry outranks one not found.
                if (verdict != MAPI_E_AMBIGUOUS_RECIP) {
                  verdict = one;
                  problem =
                      (one == MAPI_E_NOT_FOUND ? "cannot resolve \"" : "several mailboxes are called \"") +
                      name + "\"";
                }
                continue;
              }
              if (FAILED(one)) return one;
              resolved[i] = std::move(found);
            }
            return S_OK;
          });
        },
        &err);
    if (FAILED(hr)) return error_.Set(hr, "cannot resolve names: " + err);
    if (FAILED(verdict)) return error_.Set(verdict, problem);
    const ULONG string_type = (flags & MAPI_UNICODE) != 0 ? PT_UNICODE : PT_STRING8;
    for (ULONG i = 0; i < list->cEntries; ++i) {
      if (!resolved[i]) continue;
      if (FAILED(hr = RebuildEntry(*resolved[i], string_type, &list->aEntries[i]))) {
        return error_.Set(hr, "cannot build a resolved entry");
      }
    }
    return S_OK;
  }

  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IAddrBook) || SameIid(riid, IID_IMAPIProp);
  }
};

}  // namespace

bool LooksLikeSmtpAddress(std::string_view text) {
  size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == text.size()) return false;
  if (text.find('@', at + 1) != std::string_view::npos) return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == '<' || c == '>';
  });
}

HRESULT FindRecipientMailbox(sqlite3* db, const PropMap& recipient, StoreInfo* out) {
  auto text = [&](ULONG tag) {
    auto it = recipient.find(Id(tag));
    std::string s;
    if (it != recipient.end()) GetString(it->second, &s);
    return s;
  };
  auto it = recipient.find(Id(PR_ENTRYID));
  std::string bytes;
  ParsedEntryId parsed;
  if (it != recipient.end() && GetBinary(it->second, &bytes) &&
      SUCCEEDED(ParseEntryId(bytes.data(), bytes.size(), &parsed))) {
    if (parsed.kind == kEntryKindMailUser) {
      HRESULT hr = LoadStoreByGuid(db, parsed.store, out);
      if (SUCCEEDED(hr) && out->kind != kStoreKindMailbox) return MAPI_E_NOT_FOUND;
      return hr;
    }
    if (parsed.kind == kEntryKindOneOff) return FindMailbox(db, parsed.address, out);
  }
  HRESULT hr = FindMailbox(db, text(PR_SMTP_ADDRESS), out);
  if (hr != MAPI_E_NOT_FOUND) return hr;
  std::string type = text(PR_ADDRTYPE);
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::toupper(c); });
  std::string email = text(PR_EMAIL_ADDRESS);
  if (type == "SMTP" || type == "EX" || (type.empty() && LooksLikeSmtpAddress(email))) {
    return FindMailbox(db, email, out);
  }
  return MAPI_E_NOT_FOUND;
}

HRESULT OpenMailUser(const std::shared_ptr<Db>& db, ULONG cb, const ENTRYID* entry_id, IMailUser** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  ParsedEntryId parsed;
  HRESULT hr = ParseEntryId(entry_id, cb, &parsed);
  if (FAILED(hr)) return hr;
  AddressEntry entry;
  if (parsed.kind == kEntryKindOneOff) {
    entry = OneOffEntry(parsed.name, parsed.address);
  } else if (parsed.kind == kEntryKindMailUser) {
    StoreInfo box;
    std::string err;
    hr = db->Read([&](sqlite3* conn) { return LoadStoreByGuid(conn, parsed.store, &box); }, &err);
    if (FAILED(hr)) return hr;
    if (box.kind != kStoreKindMailbox) return MAPI_E_NOT_FOUND;
    entry = MailboxEntry(box);
  } else {
    return MAPI_E_INVALID_ENTRYID;
  }
  return Guarded([&] {
    PropMap props;
    for (auto& [tag, value] : EntryValues(entry, PT_STRING8)) props[Id(tag)] = std::move(value);
    *out = new MailUser(DirectoryContext(db), std::move(props));
    return S_OK;
  });
}

HRESULT CreateAddrBook(std::shared_ptr<Db> db, IAddrBook** out) {
  if (out == nullptr || db == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = new (std::nothrow) AddrBook(DirectoryContext(std::move(db)));
  return *out != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

}  // namespace zuvstore
