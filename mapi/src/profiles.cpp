// profiles.cpp: profile administration over the profiles, services and
// profile_sections tables.
//
// No object caches database state: each call reads or writes the tables in
// one transaction, so objects of several sessions (and processes) agree.
#include "profiles.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "com.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "tables.h"

namespace zuvstore {
namespace {

// "what: detail" for GetLastError.
std::string Describe(const char* what, const std::string& detail) {
  return detail.empty() ? std::string(what) : std::string(what) + ": " + detail;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

uint16_t IdOf(ULONG tag) { return static_cast<uint16_t>(PROP_ID(tag)); }

std::string_view UidBytes(const MAPIUID& uid) {
  return {reinterpret_cast<const char*>(uid.ab), sizeof(uid.ab)};
}

bool IsString8(LPCSTR s) { return s != nullptr && *s != '\0'; }

HRESULT SqlFailed(sqlite3* conn, const char* what, std::string* err) {
  *err = std::string(what) + ": " + SqliteError(conn);
  return MAPI_E_CALL_FAILED;
}

// Sets *canonical to the stored spelling of profile name.
// MAPI_E_NOT_FOUND when there is none.
HRESULT LookUpProfile(sqlite3* conn, std::string_view name, std::string* canonical,
                      std::string* err) {
  Stmt s(conn, "SELECT name FROM profiles WHERE name = ?");
  if (!s.ok()) return SqlFailed(conn, "reading profiles", err);
  s.Bind(1, name);
  int rc = s.Step();
  if (rc == SQLITE_ROW) {
    *canonical = std::string(s.Text(0));
    return S_OK;
  }
  if (rc != SQLITE_DONE) return SqlFailed(conn, "reading profiles", err);
  *err = "there is no profile " + std::string(name);
  return MAPI_E_NOT_FOUND;
}

// For objects opened on a profile: MAPI_E_OBJECT_DELETED once it is gone.
HRESULT CheckProfileLives(sqlite3* conn, const std::string& profile, std::string* err) {
  std::string canonical;
  HRESULT hr = LookUpProfile(conn, profile, &canonical, err);
  if (hr == MAPI_E_NOT_FOUND) {
    *err = "profile " + profile + " has been deleted";
    return MAPI_E_OBJECT_DELETED;
  }
  return hr;
}

// Reads the section (profile, uid). S_OK with *found false when there is
// none; MAPI_E_CORRUPT_DATA when its blob does not parse.
HRESULT LoadSection(sqlite3* conn, const std::string& profile, std::string_view uid, PropMap* props,
                    bool* found, std::string* err) {
  *found = false;
  Stmt s(conn, "SELECT props FROM profile_sections WHERE profile = ? AND uid = ?");
  if (!s.ok()) return SqlFailed(conn, "reading a profile section", err);
  s.Bind(1, profile).BindBlob(2, uid);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return S_OK;
  if (rc != SQLITE_ROW) return SqlFailed(conn, "reading a profile section", err);
  *found = true;
  if (!ParsePropList(s.Blob(0), props)) {
    *err = "a profile section of " + profile + " is corrupt";
    return MAPI_E_CORRUPT_DATA;
  }
  return S_OK;
}

HRESULT StoreSection(sqlite3* conn, const std::string& profile, std::string_view uid,
                     const PropMap& props, std::string* err) {
  Stmt s(conn, "INSERT OR REPLACE INTO profile_sections(profile, uid, props) VALUES(?, ?, ?)");
  if (!s.ok()) return SqlFailed(conn, "writing a profile section", err);
  s.Bind(1, profile).BindBlob(2, uid).BindBlob(3, SerializePropList(props));
  return s.Step() == SQLITE_DONE ? S_OK : SqlFailed(conn, "writing a profile section", err);
}

// The tag a stored value is reported under: its own type, 8-bit strings as
// Unicode when the caller passed MAPI_UNICODE.
ULONG ReportedTag(uint16_t id, ULONG type, ULONG flags) {
  if ((flags & MAPI_UNICODE) != 0) {
    if (type == PT_STRING8) type = PT_UNICODE;
    if (type == PT_MV_STRING8) type = PT_MV_UNICODE;
  }
  return PROP_TAG(type, id);
}

// String columns of the tables, in the width the caller asked for.
ULONG StringColumn(ULONG tag_a, ULONG flags) {
  return (flags & MAPI_UNICODE) != 0 ? CHANGE_PROP_TYPE(tag_a, PT_UNICODE) : tag_a;
}

HRESULT MakeProblemArray(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
  if (out == nullptr) return S_OK;
  *out = nullptr;
  if (problems.empty()) return S_OK;
  size_t bytes = offsetof(SPropProblemArray, aProblem) + problems.size() * sizeof(SPropProblem);
  LPSPropProblemArray array = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(bytes), reinterpret_cast<void**>(&array)) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  array->cProblem = static_cast<ULONG>(problems.size());
  std::copy(problems.begin(), problems.end(), array->aProblem);
  *out = array;
  return S_OK;
}

// ---- Profile sections ----

class ProfSect final : public ComObject<IProfSect> {
 public:
  ProfSect(std::shared_ptr<Db> db, std::string profile, std::string uid, bool writable)
      : db_(std::move(db)),
        profile_(std::move(profile)),
        uid_(std::move(uid)),
        writable_(writable) {}

  // IMAPIProp
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return error_.Get(hResult, ulFlags, lppMAPIError);
  }
  HRESULT SaveChanges(ULONG) override {
    if (!writable_) return error_.Set(MAPI_E_NO_ACCESS, "SaveChanges: the section is read-only");
    return S_OK;  // every change is written through
  }
  HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                   LPSPropValue* lppPropArray) override;
  HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* lppUnk) override {
    if (lppUnk != nullptr) *lppUnk = nullptr;
    return error_.Set(MAPI_E_NO_SUPPORT, "OpenProperty: profile sections hold no objects");
  }
  HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray,
                   LPSPropProblemArray* lppProblems) override;
  HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG* lpcPropNames,
                          LPMAPINAMEID** lpppPropNames) override {
    if (lpcPropNames != nullptr) *lpcPropNames = 0;
    if (lpppPropNames != nullptr) *lpppPropNames = nullptr;
    return error_.Set(MAPI_E_NO_SUPPORT, "profile sections have no named properties");
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray* lppPropTags) override {
    if (lppPropTags != nullptr) *lppPropTags = nullptr;
    return error_.Set(MAPI_E_NO_SUPPORT, "profile sections have no named properties");
  }

 protected:
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IProfSect) || SameIid(riid, IID_IMAPIProp);
  }

 private:
  ~ProfSect() override = default;

  // The section's current properties; MAPI_E_OBJECT_DELETED once it is gone.
  HRESULT Load(PropMap* props, std::string* err);
  // Applies edit to the section's properties in one write transaction.
  HRESULT Edit(const std::function<void(PropMap&)>& edit, std::string* err);

  const std::shared_ptr<Db> db_;
  const std::string profile_;
  const std::string uid_;  // 16 bytes
  const bool writable_;
  LastError error_;
};

HRESULT ProfSect::Load(PropMap* props, std::string* err) {
  return db_->Read(
      [&](sqlite3* conn) {
        bool found = false;
        HRESULT hr = LoadSection(conn, profile_, uid_, props, &found, err);
        if (SUCCEEDED(hr) && !found) {
          *err = "the profile section has been deleted";
          hr = MAPI_E_OBJECT_DELETED;
        }
        return hr;
      },
      err);
}

HRESULT ProfSect::Edit(const std::function<void(PropMap&)>& edit, std::string* err) {
  return db_->Write(
      [&](WriteTxn& txn) {
        PropMap props;
        bool found = false;
        HRESULT hr = LoadSection(txn.conn(), profile_, uid_, &props, &found, err);
        if (FAILED(hr)) return hr;
        if (!found) {
          *err = "the profile section has been deleted";
          return MAPI_E_OBJECT_DELETED;
        }
        edit(props);
        return StoreSection(txn.conn(), profile_, uid_, props, err);
      },
      err);
}

HRESULT ProfSect::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                           LPSPropValue* lppPropArray) {
  if (lpcValues == nullptr || lppPropArray == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetProps: null out-parameter");
  }
  *lpcValues = 0;
  *lppPropArray = nullptr;
  std::string err;
  HRESULT hr = Guarded([&] {
    PropMap props;
    HRESULT loaded = Load(&props, &err);
    if (FAILED(loaded)) return loaded;
    std::vector<ULONG> tags;
    if (lpPropTagArray != nullptr) {
      tags.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
    } else {
      for (const auto& [id, value] : props) tags.push_back(ReportedTag(id, value.type, ulFlags));
    }
    LPSPropValue values = nullptr;
    if (MAPIAllocateBuffer(
            static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(tags.size(), 1)),
            reinterpret_cast<void**>(&values)) != S_OK) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    bool errors = false;
    for (size_t i = 0; i < tags.size(); ++i) {
      ULONG tag = tags[i];
      auto it = props.find(IdOf(tag));
      if (it == props.end()) {
        ErrorProp(CHANGE_PROP_TYPE(tag, PT_ERROR), MAPI_E_NOT_FOUND, &values[i]);
        errors = true;
        continue;
      }
      if (PROP_TYPE(tag) == PT_UNSPECIFIED) tag = ReportedTag(it->first, it->second.type, ulFlags);
      HRESULT decoded = DecodeProp(tag, it->second, values, &values[i]);
      if (decoded == MAPI_E_NOT_ENOUGH_MEMORY) {
        MAPIFreeBuffer(values);
        return decoded;
      }
      if (FAILED(decoded)) {
        ErrorProp(CHANGE_PROP_TYPE(tag, PT_ERROR), decoded, &values[i]);
        errors = true;
      }
    }
    *lpcValues = static_cast<ULONG>(tags.size());
    *lppPropArray = values;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, Describe("GetProps", err)) : hr;
}

HRESULT ProfSect::GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) {
  if (lppPropTagArray == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetPropList: null out-parameter");
  }
  *lppPropTagArray = nullptr;
  std::string err;
  HRESULT hr = Guarded([&] {
    PropMap props;
    HRESULT loaded = Load(&props, &err);
    if (FAILED(loaded)) return loaded;
    LPSPropTagArray tags = nullptr;
    if (MAPIAllocateBuffer(
            static_cast<ULONG>(CbNewSPropTagArray(std::max<size_t>(props.size(), 1))),
            reinterpret_cast<void**>(&tags)) != S_OK) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    tags->cValues = 0;
    for (const auto& [id, value] : props) {
      tags->aulPropTag[tags->cValues++] = ReportedTag(id, value.type, ulFlags);
    }
    *lppPropTagArray = tags;
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, Describe("GetPropList", err)) : hr;
}

// A value the store cannot keep is reported in the problem array and the
// others are still written, as MAPI's SetProps does.
HRESULT ProfSect::SetProps(ULONG cValues, LPSPropValue lpPropArray,
                           LPSPropProblemArray* lppProblems) {
  if (lppProblems != nullptr) *lppProblems = nullptr;
  if (!writable_) return error_.Set(MAPI_E_NO_ACCESS, "SetProps: the section is read-only");
  if (cValues > 0 && lpPropArray == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "SetProps: no values");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    std::vector<std::pair<uint16_t, StoredProp>> updates;
    std::vector<SPropProblem> problems;
    for (ULONG i = 0; i < cValues; ++i) {
      StoredProp stored;
      HRESULT encoded = EncodeProp(lpPropArray[i], &stored);
      if (FAILED(encoded)) {
        problems.push_back(SPropProblem{i, lpPropArray[i].ulPropTag, encoded});
      } else {
        updates.emplace_back(IdOf(lpPropArray[i].ulPropTag), std::move(stored));
      }
    }
    if (!updates.empty()) {
      HRESULT edited = Edit(
          [&](PropMap& props) {
            for (const auto& [id, value] : updates) props[id] = value;
          },
          &err);
      if (FAILED(edited)) return edited;
    }
    return MakeProblemArray(problems, lppProblems);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("SetProps", err)) : hr;
}

// Deleting a property the section lacks is reported as MAPI_E_NOT_FOUND in
// the problem array; the call still succeeds.
HRESULT ProfSect::DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) {
  if (lppProblems != nullptr) *lppProblems = nullptr;
  if (!writable_) return error_.Set(MAPI_E_NO_ACCESS, "DeleteProps: the section is read-only");
  if (lpPropTagArray == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "DeleteProps: no tags");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    std::vector<SPropProblem> problems;
    HRESULT edited = Edit(
        [&](PropMap& props) {
          problems.clear();
          for (ULONG i = 0; i < lpPropTagArray->cValues; ++i) {
            ULONG tag = lpPropTagArray->aulPropTag[i];
            if (props.erase(IdOf(tag)) == 0) {
              problems.push_back(SPropProblem{i, tag, MAPI_E_NOT_FOUND});
            }
          }
        },
        &err);
    if (FAILED(edited)) return edited;
    return MakeProblemArray(problems, lppProblems);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("DeleteProps", err)) : hr;
}

// ---- Message services of one profile ----

class ServiceAdmin final : public ComObject<IMsgServiceAdmin2> {
 public:
  ServiceAdmin(std::shared_ptr<Db> db, std::string profile, bool admin2)
      : db_(std::move(db)), profile_(std::move(profile)), admin2_(admin2) {}

  // IMsgServiceAdmin
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return error_.Get(hResult, ulFlags, lppMAPIError);
  }
  HRESULT GetMsgServiceTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  HRESULT CreateMsgService(LPSTR lpszService, LPSTR lpszDisplayName, ULONG_PTR, ULONG) override {
    return AddService(lpszService, lpszDisplayName, nullptr);
  }
  HRESULT DeleteMsgService(LPMAPIUID lpUID) override;
  HRESULT ConfigureMsgService(LPMAPIUID lpUID, ULONG_PTR ulUIParam, ULONG ulFlags, ULONG cValues,
                              LPSPropValue lpProps) override;
  HRESULT OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags,
                             LPPROFSECT* lppProfSect) override;
  // IMsgServiceAdmin2
  HRESULT CreateMsgServiceEx(LPSTR lpszService, LPSTR lpszDisplayName, ULONG_PTR, ULONG,
                             LPMAPIUID lpuidService) override {
    return AddService(lpszService, lpszDisplayName, lpuidService);
  }

 protected:
  // IMsgServiceAdmin2 is answered only while the setting allows it.
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IMsgServiceAdmin) || (admin2_ && SameIid(riid, IID_IMsgServiceAdmin2));
  }

 private:
  ~ServiceAdmin() override = default;

  HRESULT AddService(LPSTR service, LPSTR display_name, LPMAPIUID uid_out);

  const std::shared_ptr<Db> db_;
  const std::string profile_;  // canonical name
  const bool admin2_;
  LastError error_;
};

HRESULT ServiceAdmin::GetMsgServiceTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  if (lppTable == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetMsgServiceTable: null out-parameter");
  }
  *lppTable = nullptr;
  std::string err;
  HRESULT hr = Guarded([&] {
    std::vector<MemRow> rows;
    HRESULT read = db_->Read(
        [&](sqlite3* conn) {
          HRESULT lives = CheckProfileLives(conn, profile_, &err);
          if (FAILED(lives)) return lives;
          Stmt s(conn,
                 "SELECT uid, name, display_name FROM services WHERE profile = ? ORDER BY ord");
          if (!s.ok()) return SqlFailed(conn, "reading services", &err);
          s.Bind(1, profile_);
          int rc;
          while ((rc = s.Step()) == SQLITE_ROW) {
            MemRow row;
            row.values.emplace_back(PR_SERVICE_UID, MakeBinary(s.Blob(0)));
            row.values.emplace_back(PR_SERVICE_NAME_A, MakeString8(s.Text(1)));
            row.values.emplace_back(PR_DISPLAY_NAME_A, MakeString8(s.Text(2)));
            row.values.emplace_back(PR_INSTANCE_KEY, MakeBinary(s.Blob(0)));
            rows.push_back(std::move(row));
          }
          return rc == SQLITE_DONE ? S_OK : SqlFailed(conn, "reading services", &err);
        },
        &err);
    if (FAILED(read)) return read;
    return CreateMemTable(std::move(rows),
                          {PR_SERVICE_UID, StringColumn(PR_SERVICE_NAME_A, ulFlags),
                           StringColumn(PR_DISPLAY_NAME_A, ulFlags), PR_INSTANCE_KEY},
                          lppTable);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("GetMsgServiceTable", err)) : hr;
}

HRESULT ServiceAdmin::AddService(LPSTR service, LPSTR display_name, LPMAPIUID uid_out) {
  if (!IsString8(service)) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "CreateMsgService: no service name");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    const std::string name = service;
    const std::string display = IsString8(display_name) ? display_name : name;
    MAPIUID uid;
    const std::string guid = GuidBytes(NewGuid());
    std::memcpy(uid.ab, guid.data(), std::min(guid.size(), sizeof(uid.ab)));
    PropMap section;
    section[IdOf(PR_SERVICE_UID)] = MakeBinary(UidBytes(uid));
    section[IdOf(PR_SERVICE_NAME_A)] = MakeString8(name);
    section[IdOf(PR_DISPLAY_NAME_A)] = MakeString8(display);
    HRESULT written = db_->Write(
        [&](WriteTxn& txn) {
          sqlite3* conn = txn.conn();
          HRESULT lives = CheckProfileLives(conn, profile_, &err);
          if (FAILED(lives)) return lives;
          Stmt s(conn,
                 "INSERT INTO services(uid, profile, name, display_name, ord) VALUES(?1, ?2, ?3, "
                 "?4, (SELECT COALESCE(MAX(ord), 0) + 1 FROM services WHERE profile = ?2))");
          if (!s.ok()) return SqlFailed(conn, "adding a service", &err);
          s.BindBlob(1, UidBytes(uid)).Bind(2, profile_).Bind(3, name).Bind(4, display);
          if (s.Step() != SQLITE_DONE) return SqlFailed(conn, "adding a service", &err);
          return StoreSection(conn, profile_, UidBytes(uid), section, &err);
        },
        &err);
    if (FAILED(written)) return written;
    if (uid_out != nullptr) *uid_out = uid;
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, Describe("CreateMsgService", err)) : hr;
}

HRESULT ServiceAdmin::DeleteMsgService(LPMAPIUID lpUID) {
  if (lpUID == nullptr) return error_.Set(MAPI_E_INVALID_PARAMETER, "DeleteMsgService: no UID");
  std::string err;
  HRESULT hr = Guarded([&] {
    return db_->Write(
        [&](WriteTxn& txn) {
          sqlite3* conn = txn.conn();
          HRESULT lives = CheckProfileLives(conn, profile_, &err);
          if (FAILED(lives)) return lives;
          Stmt del(conn, "DELETE FROM services WHERE uid = ? AND profile = ?");
          if (!del.ok()) return SqlFailed(conn, "deleting a service", &err);
          del.BindBlob(1, UidBytes(*lpUID)).Bind(2, profile_);
          if (del.Step() != SQLITE_DONE) return SqlFailed(conn, "deleting a service", &err);
          if (sqlite3_changes(conn) == 0) {
            err = "profile " + profile_ + " has no such service";
            return MAPI_E_NOT_FOUND;
          }
          Stmt sect(conn, "DELETE FROM profile_sections WHERE profile = ? AND uid = ?");
          if (!sect.ok()) return SqlFailed(conn, "deleting a service", &err);
          sect.Bind(1, profile_).BindBlob(2, UidBytes(*lpUID));
          return sect.Step() == SQLITE_DONE ? S_OK : SqlFailed(conn, "deleting a service", &err);
        },
        &err);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("DeleteMsgService", err)) : hr;
}

HRESULT ServiceAdmin::ConfigureMsgService(LPMAPIUID lpUID, ULONG_PTR, ULONG, ULONG cValues,
                                          LPSPropValue lpProps) {
  if (lpUID == nullptr) return error_.Set(MAPI_E_INVALID_PARAMETER, "ConfigureMsgService: no UID");
  if (cValues > 0 && lpProps == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "ConfigureMsgService: no values");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    std::vector<std::pair<uint16_t, StoredProp>> updates;
    for (ULONG i = 0; i < cValues; ++i) {
      StoredProp stored;
      HRESULT encoded = EncodeProp(lpProps[i], &stored);
      if (FAILED(encoded)) {
        char tag[16];
        std::snprintf(tag, sizeof(tag), "0x%08X", static_cast<unsigned>(lpProps[i].ulPropTag));
        err = std::string("property ") + tag + " cannot be stored";
        return encoded;
      }
      updates.emplace_back(IdOf(lpProps[i].ulPropTag), std::move(stored));
    }
    return db_->Write(
        [&](WriteTxn& txn) {
          sqlite3* conn = txn.conn();
          HRESULT lives = CheckProfileLives(conn, profile_, &err);
          if (FAILED(lives)) return lives;
          Stmt s(conn, "SELECT 1 FROM services WHERE uid = ? AND profile = ?");
          if (!s.ok()) return SqlFailed(conn, "reading services", &err);
          s.BindBlob(1, UidBytes(*lpUID)).Bind(2, profile_);
          int rc = s.Step();
          if (rc == SQLITE_DONE) {
            err = "profile " + profile_ + " has no such service";
            return MAPI_E_NOT_FOUND;
          }
          if (rc != SQLITE_ROW) return SqlFailed(conn, "reading services", &err);
          PropMap props;
          bool found = false;
          HRESULT loaded = LoadSection(conn, profile_, UidBytes(*lpUID), &props, &found, &err);
          if (FAILED(loaded)) return loaded;
          for (const auto& [id, value] : updates) props[id] = value;
          return StoreSection(conn, profile_, UidBytes(*lpUID), props, &err);
        },
        &err);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("ConfigureMsgService", err)) : hr;
}

HRESULT ServiceAdmin::OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags,
                                         LPPROFSECT* lppProfSect) {
  if (lppProfSect == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "OpenProfileSection: null out-parameter");
  }
  *lppProfSect = nullptr;
  if (lpUID == nullptr) return error_.Set(MAPI_E_INVALID_PARAMETER, "OpenProfileSection: no UID");
  if (lpInterface != nullptr && !SameIid(*lpInterface, IID_IProfSect) &&
      !SameIid(*lpInterface, IID_IMAPIProp) && !SameIid(*lpInterface, IID_IUnknown)) {
    return error_.Set(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenProfileSection: unknown interface");
  }
  const bool writable = (ulFlags & MAPI_MODIFY) != 0;
  std::string err;
  HRESULT hr = Guarded([&] {
    const std::string uid(UidBytes(*lpUID));
    HRESULT opened;
    if (writable) {
      opened = db_->Write(
          [&](WriteTxn& txn) {
            HRESULT lives = CheckProfileLives(txn.conn(), profile_, &err);
            if (FAILED(lives)) return lives;
            PropMap props;
            bool found = false;
            HRESULT loaded = LoadSection(txn.conn(), profile_, uid, &props, &found, &err);
            if (FAILED(loaded) || found) return loaded;
            return StoreSection(txn.conn(), profile_, uid, props, &err);
          },
          &err);
    } else {
      opened = db_->Read(
          [&](sqlite3* conn) {
            PropMap props;
            bool found = false;
            HRESULT loaded = LoadSection(conn, profile_, uid, &props, &found, &err);
            if (SUCCEEDED(loaded) && !found) {
              err = "profile " + profile_ + " has no such section";
              return MAPI_E_NOT_FOUND;
            }
            return loaded;
          },
          &err);
    }
    if (FAILED(opened)) return opened;
    *lppProfSect = new ProfSect(db_, profile_, uid, writable);
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, Describe("OpenProfileSection", err)) : hr;
}

// ---- Profiles ----

class ProfAdmin final : public ComObject<IProfAdmin> {
 public:
  explicit ProfAdmin(std::shared_ptr<Db> db) : db_(std::move(db)) {}

  // IProfAdmin
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return error_.Get(hResult, ulFlags, lppMAPIError);
  }
  HRESULT GetProfileTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  HRESULT CreateProfile(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR, ULONG) override;
  HRESULT DeleteProfile(LPSTR lpszProfileName, ULONG) override;
  HRESULT AdminServices(LPSTR lpszProfileName, LPSTR, ULONG_PTR, ULONG,
                        LPSERVICEADMIN* lppServiceAdmin) override;

 protected:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IProfAdmin); }

 private:
  ~ProfAdmin() override = default;

  const std::shared_ptr<Db> db_;
  LastError error_;
};

HRESULT ProfAdmin::GetProfileTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  if (lppTable == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetProfileTable: null out-parameter");
  }
  *lppTable = nullptr;
  std::string err;
  HRESULT hr = Guarded([&] {
    std::vector<MemRow> rows;
    HRESULT read = db_->Read(
        [&](sqlite3* conn) {
          Stmt s(conn, "SELECT name FROM profiles ORDER BY created, name");
          if (!s.ok()) return SqlFailed(conn, "reading profiles", &err);
          int rc;
          while ((rc = s.Step()) == SQLITE_ROW) {
            MemRow row;
            row.values.emplace_back(PR_DISPLAY_NAME_A, MakeString8(s.Text(0)));
            row.values.emplace_back(PR_DEFAULT_PROFILE, MakeBool(rows.empty()));
            rows.push_back(std::move(row));
          }
          return rc == SQLITE_DONE ? S_OK : SqlFailed(conn, "reading profiles", &err);
        },
        &err);
    if (FAILED(read)) return read;
    return CreateMemTable(std::move(rows),
                          {StringColumn(PR_DISPLAY_NAME_A, ulFlags), PR_DEFAULT_PROFILE}, lppTable);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("GetProfileTable", err)) : hr;
}

HRESULT ProfAdmin::CreateProfile(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR, ULONG) {
  if (!IsString8(lpszProfileName)) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "CreateProfile: no profile name");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    const std::string name = lpszProfileName;
    return db_->Write(
        [&](WriteTxn& txn) {
          sqlite3* conn = txn.conn();
          std::string existing;
          HRESULT found = LookUpProfile(conn, name, &existing, &err);
          if (SUCCEEDED(found)) {
            err = "profile " + existing + " already exists";
            return MAPI_E_NO_ACCESS;
          }
          if (found != MAPI_E_NOT_FOUND) return found;
          err.clear();
          Stmt s(conn, "INSERT INTO profiles(name, password, created) VALUES(?, ?, ?)");
          if (!s.ok()) return SqlFailed(conn, "adding a profile", &err);
          s.Bind(1, name)
              .Bind(2, lpszPassword != nullptr ? lpszPassword : "")
              .Bind(3, NowFileTime());
          return s.Step() == SQLITE_DONE ? S_OK : SqlFailed(conn, "adding a profile", &err);
        },
        &err);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("CreateProfile", err)) : hr;
}

HRESULT ProfAdmin::DeleteProfile(LPSTR lpszProfileName, ULONG) {
  if (!IsString8(lpszProfileName)) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "DeleteProfile: no profile name");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    return db_->Write(
        [&](WriteTxn& txn) {
          sqlite3* conn = txn.conn();
          std::string name;
          HRESULT found = LookUpProfile(conn, lpszProfileName, &name, &err);
          if (FAILED(found)) return found;
          Stmt sections(conn, "DELETE FROM profile_sections WHERE profile = ?");
          Stmt services(conn, "DELETE FROM services WHERE profile = ?");
          Stmt profile(conn, "DELETE FROM profiles WHERE name = ?");
          for (Stmt* s : {&sections, &services, &profile}) {
            if (!s->ok()) return SqlFailed(conn, "deleting a profile", &err);
            s->Bind(1, name);
            if (s->Step() != SQLITE_DONE) return SqlFailed(conn, "deleting a profile", &err);
          }
          return S_OK;
        },
        &err);
  });
  return FAILED(hr) ? error_.Set(hr, Describe("DeleteProfile", err)) : hr;
}

HRESULT ProfAdmin::AdminServices(LPSTR lpszProfileName, LPSTR, ULONG_PTR, ULONG,
                                 LPSERVICEADMIN* lppServiceAdmin) {
  if (lppServiceAdmin == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "AdminServices: null out-parameter");
  }
  *lppServiceAdmin = nullptr;
  if (!IsString8(lpszProfileName)) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "AdminServices: no profile name");
  }
  std::string err;
  HRESULT hr = Guarded([&] {
    std::string name;
    bool admin2 = true;
    HRESULT read = db_->Read(
        [&](sqlite3* conn) {
          HRESULT found = LookUpProfile(conn, lpszProfileName, &name, &err);
          if (FAILED(found)) return found;
          Stmt s(conn, "SELECT value FROM meta WHERE key = ?");
          if (!s.ok()) return SqlFailed(conn, "reading settings", &err);
          s.Bind(1, std::string_view(kServiceAdmin2Key));
          int rc = s.Step();
          if (rc == SQLITE_ROW) admin2 = s.Text(0) != "0";
          return rc == SQLITE_ROW || rc == SQLITE_DONE ? S_OK
                                                       : SqlFailed(conn, "reading settings", &err);
        },
        &err);
    if (FAILED(read)) return read;
    *lppServiceAdmin = new ServiceAdmin(db_, std::move(name), admin2);
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, Describe("AdminServices", err)) : hr;
}

}  // namespace

HRESULT CreateProfAdmin(std::shared_ptr<Db> db, IProfAdmin** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
  return Guarded([&] {
    *out = new ProfAdmin(std::move(db));
    return S_OK;
  });
}

HRESULT ReadProfile(sqlite3* conn, std::string_view name, ProfileInfo* out) {
  if (conn == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
  return Guarded([&] {
    std::string err;
    ProfileInfo info;
    HRESULT found = LookUpProfile(conn, name, &info.name, &err);
    if (FAILED(found)) return found;
    Stmt s(conn,
           "SELECT s.uid, s.name, s.display_name, p.props FROM services AS s LEFT JOIN "
           "profile_sections AS p ON p.profile = s.profile AND p.uid = s.uid WHERE s.profile = ? "
           "ORDER BY s.ord");
    if (!s.ok()) return MAPI_E_CALL_FAILED;
    s.Bind(1, info.name);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      ServiceInfo service;
      std::string_view uid = s.Blob(0);
      if (uid.size() != sizeof(service.uid.ab)) return MAPI_E_CORRUPT_DATA;
      std::memcpy(service.uid.ab, uid.data(), uid.size());
      service.name = std::string(s.Text(1));
      service.display_name = std::string(s.Text(2));
      if (!s.IsNull(3) && !ParsePropList(s.Blob(3), &service.props)) return MAPI_E_CORRUPT_DATA;
      info.services.push_back(std::move(service));
    }
    if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    *out = std::move(info);
    return S_OK;
  });
}

const ServiceInfo* FindService(const ProfileInfo& info, std::string_view name) {
  for (const ServiceInfo& service : info.services) {
    if (EqualsNoCase(service.name, name)) return &service;
  }
  return nullptr;
}

}  // namespace zuvstore
