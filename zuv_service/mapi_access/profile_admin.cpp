// profile_admin.cpp: profile checks and creation, and adding message
// services to a profile.
#include "mapi_access/profile_admin.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiobject.h"

namespace zuv {
namespace {

// OpenProfileSection: open a section of another provider too.
constexpr ULONG MAPI_FORCE_ACCESS = 0x00080000;

bool IsStringType(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }

// Services of the service table, by PR_SERVICE_UID.
HRESULT ServiceUids(IMsgServiceAdmin* admin, std::vector<MAPIUID>* uids) {
  MapiPtr<IMAPITable> table;
  HRESULT hr = admin->GetMsgServiceTable(0, table.put());
  if (FAILED(hr)) return hr;
  auto cols = MakePropTags(PR_SERVICE_UID);
  MapiRows rows;
  hr = HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put());
  if (FAILED(hr)) return hr;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue& v = rows->aRow[i].lpProps[0];
    if (v.ulPropTag != PR_SERVICE_UID || v.Value.bin.cb != sizeof(MAPIUID)) continue;
    MAPIUID uid;
    std::memcpy(uid.ab, v.Value.bin.lpb, sizeof(uid.ab));
    uids->push_back(uid);
  }
  return S_OK;
}

HRESULT OpenSection(IMsgServiceAdmin* admin, MAPIUID* uid, IProfSect** section) {
  NLog_TraceA("ZUV", "OpenProfileSection opening lpServiceUID = %s",
              EntryIDToString(uid->ab, sizeof(uid->ab)).c_str());
  return admin->OpenProfileSection(uid, nullptr, MAPI_MODIFY | MAPI_FORCE_ACCESS, section);
}

HRESULT SetMarker(IMsgServiceAdmin* admin, MAPIUID* uid) {
  MapiPtr<IProfSect> section;
  HRESULT hr = OpenSection(admin, uid, section.put());
  if (FAILED(hr)) return hr;
  SPropValue marker{};
  marker.ulPropTag = kProviderMarkerTag;
  marker.Value.lpszA = const_cast<char*>(kProviderMarker);
  return section->SetProps(1, &marker, nullptr);
}

bool HasMarker(IMsgServiceAdmin* admin, MAPIUID* uid) {
  MapiPtr<IProfSect> section;
  if (FAILED(OpenSection(admin, uid, section.put()))) return false;
  auto tags = MakePropTags(kProviderMarkerTag);
  ULONG count = 0;
  MapiBuffer<SPropValue> value;
  if (FAILED(section->GetProps(tags.get(), 0, &count, value.put())) || count != 1) return false;
  return CheckStringProp(value.get(), PT_STRING8) && std::strcmp(value->Value.lpszA, kProviderMarker) == 0;
}

void RemoveMarker(IMsgServiceAdmin* admin, MAPIUID* uid) {
  MapiPtr<IProfSect> section;
  if (FAILED(OpenSection(admin, uid, section.put()))) return;
  auto tags = MakePropTags(kProviderMarkerTag);
  (void)section->DeleteProps(tags.get(), nullptr);
}

// Creates service without IMsgServiceAdmin2: marks the existing services,
// creates, and takes the one service left unmarked. *found tells whether the
// new service's UID was identified.
HRESULT CreateByMarker(IMsgServiceAdmin* admin, const char* service, ULONG_PTR uiParam, ULONG flags,
                       bool need_uid, MAPIUID* uid, bool* found) {
  *found = false;
  std::vector<MAPIUID> before;
  if (need_uid) {
    HRESULT hr = ServiceUids(admin, &before);
    if (FAILED(hr)) return hr;
    for (MAPIUID& u : before) {
      hr = SetMarker(admin, &u);
      if (FAILED(hr)) break;
    }
  }
  HRESULT hr = admin->CreateMsgService(const_cast<char*>(service), const_cast<char*>(service), uiParam, flags);
  if (FAILED(hr)) NLog_ErrorA("ZUV", "Cannot create Message Service");
  if (!need_uid) return hr;

  std::vector<MAPIUID> after;
  HRESULT listed = ServiceUids(admin, &after);
  if (SUCCEEDED(hr) && SUCCEEDED(listed)) {
    for (MAPIUID& u : after) {
      if (!HasMarker(admin, &u)) {
        *uid = u;
        *found = true;
        break;
      }
    }
  }
  // Every section goes back to how it was, whatever happened above.
  for (MAPIUID& u : SUCCEEDED(listed) ? after : before) RemoveMarker(admin, &u);
  return SUCCEEDED(hr) ? listed : hr;
}

}  // namespace

HRESULT ProfileExists(IProfAdmin* profAdmin, const char* profile) {
  NLog_TraceA("ZUV", "Checking whether profile %s exists or not ", profile != nullptr ? profile : "");
  if (profile == nullptr) return E_INVALIDARG;
  MapiPtr<IProfAdmin> own;
  if (profAdmin == nullptr) {
    if (FAILED(MAPIAdminProfiles(0, own.put()))) {
      NLog_ErrorA("ZUV", "Cannot get MAPIAdminProfiles object");
      return E_INVALIDARG;
    }
    profAdmin = own.get();
  }
  HRESULT result = 0;
  MapiPtr<IMAPITable> table;
  MapiRows rows;
  auto cols = MakePropTags(PR_DISPLAY_NAME_A);
  if (SUCCEEDED(profAdmin->GetProfileTable(0, table.put())) &&
      SUCCEEDED(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()))) {
    if (rows->cRows == 0) NLog_TraceA("ZUV", "No profiles found in the profile table");
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue& v = rows->aRow[i].lpProps[0];
      // Profile names compare without case (en-US rules; names are ASCII).
      if (v.ulPropTag == PR_DISPLAY_NAME_A && v.Value.lpszA != nullptr &&
          strcasecmp(v.Value.lpszA, profile) == 0) {
        result = MAPI_E_NO_ACCESS;
        NLog_TraceA("ZUV", "Profile %s already exists", profile);
        break;
      }
    }
  }
  if (result != 0) {
    NLog_TraceA("ZUV", "Profile %s exists", profile);
  } else {
    NLog_TraceA("ZUV", "Profile %s does not exist", profile);
  }
  return result;
}

HRESULT CreateProfile(const char* profile) {
  NLog_TraceA("ZUV", "Creating Profile %s", profile != nullptr ? profile : "");
  if (profile == nullptr) return E_INVALIDARG;
  MapiPtr<IProfAdmin> admin;
  HRESULT hr = MAPIAdminProfiles(0, admin.put());
  if (SUCCEEDED(hr)) hr = admin->CreateProfile(const_cast<char*>(profile), nullptr, 0, 0);
  if (SUCCEEDED(hr)) {
    NLog_TraceA("ZUV", "Successfully created profile %s", profile);
  } else if (admin && ProfileExists(admin.get(), profile) != 0) {
    NLog_ErrorA("ZUV", "Cannot create profile %s because it already exists", profile);
  } else {
    NLog_ErrorA("ZUV", "Cannot create profile %s:%d", profile, static_cast<int>(hr));
  }
  return hr;
}

HRESULT AddMailboxToProfile(ULONG_PTR uiParam, const char* server, const char* mailbox,
                            const char* profile) {
  NLog_TraceA("ZUV", "Adding mailbox %s/%s to profile %s", server != nullptr ? server : "",
              mailbox != nullptr ? mailbox : "", profile != nullptr ? profile : "");
  if (server == nullptr || mailbox == nullptr || profile == nullptr) return 0;
  SPropValue props[2]{};
  props[0].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER;
  props[0].Value.lpszA = const_cast<char*>(server);
  props[1].ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
  props[1].Value.lpszA = const_cast<char*>(mailbox);
  return AddServiceToProfile("MSEMS", uiParam, 0, 2, props, profile);
}

HRESULT AddServiceToProfile(const char* service, ULONG_PTR uiParam, ULONG flags, ULONG propCount,
                            LPSPropValue props, const char* profile) {
  NLog_TraceA("ZUV", "Adding service %s to profile%s", service != nullptr ? service : "",
              profile != nullptr ? profile : "");
  if (service == nullptr || profile == nullptr) return E_INVALIDARG;
  MapiPtr<IProfAdmin> prof_admin;
  HRESULT hr = MAPIAdminProfiles(0, prof_admin.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "Cannot get the MAPIAdminProfiles object");
    return hr;
  }
  MapiPtr<IMsgServiceAdmin> admin;
  hr = prof_admin->AdminServices(const_cast<char*>(profile), const_cast<char*>(""), 0, 0, admin.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "Cannot get the AdminServices for the profile object");
    return hr;
  }
  const bool configure = propCount > 0 && props != nullptr;
  MAPIUID uid{};
  bool have_uid = false;
  MapiPtr<IMsgServiceAdmin2> admin2;
  if (SUCCEEDED(admin->QueryInterface(IID_IMsgServiceAdmin2, admin2.put_void())) && admin2) {
    hr = admin2->CreateMsgServiceEx(const_cast<char*>(service), const_cast<char*>(service), uiParam, flags, &uid);
    if (FAILED(hr)) NLog_ErrorA("ZUV", "Cannot create Message Service");
    have_uid = SUCCEEDED(hr);
  } else {
    hr = CreateByMarker(admin.get(), service, uiParam, flags, configure, &uid, &have_uid);
  }
  if (SUCCEEDED(hr) && configure) {
    hr = have_uid ? admin->ConfigureMsgService(&uid, 0, 0, propCount, props) : MAPI_E_NOT_FOUND;
  }
  return hr;
}

bool CheckStringProp(const SPropValue* prop, ULONG propType) {
  if (!IsStringType(propType)) {
    NLog_TraceA("ZUV", "CheckStringProp: Called with invalid ulPropType of 0x%X\n", propType);
    return false;
  }
  if (prop == nullptr) {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp is NULL\n");
    return false;
  }
  if (PROP_TYPE(prop->ulPropTag) == PT_ERROR) {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp->ulPropTag is of type PT_ERROR\n");
    return false;
  }
  if (PROP_TYPE(prop->ulPropTag) != propType) {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp->ulPropTag is not of type 0x%X\n", propType);
    return false;
  }
  // Both string members share the pointer slot of the value union.
  if (prop->Value.lpszA == nullptr) {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp->Value.LPSZ is NULL\n");
    return false;
  }
  if (propType == PT_STRING8 && prop->Value.lpszA[0] == '\0') {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp->Value.lpszA[0] is NULL\n");
    return false;
  }
  if (propType == PT_UNICODE && prop->Value.lpszW[0] == u'\0') {
    NLog_TraceA("ZUV", "CheckStringProp: lpProp->Value.lpszW[0] is NULL\n");
    return false;
  }
  return true;
}

}  // namespace zuv
