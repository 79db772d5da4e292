// profiles.h: MAPI profiles kept in the store's database.
//
// A profile is a named list of message services. Every service has a
// profile section, a property list keyed by the service's UID; further
// sections may live under any other UID (created when first opened with
// MAPI_MODIFY). Tables: profiles, services, profile_sections (model.h).
// Profile names compare without case (ASCII); the name keeps the case it was
// created with.
//
// Profile sections write through: SetProps and DeleteProps change the
// database at once, so a section opened later, by this process or another,
// sees the change. SaveChanges has nothing left to do.
//
// Thread safety: every object may be used from several threads; each call
// is one database transaction.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db.h"
#include "mapi/mapix.h"
#include "propval.h"

namespace zuvstore {

// meta key: the value "0" withdraws IMsgServiceAdmin2 from AdminServices.
inline constexpr char kServiceAdmin2Key[] = "service_admin2";

struct ServiceInfo {
  MAPIUID uid{};
  std::string name;  // the service kind, e.g. "MSEMS"
  std::string display_name;
  PropMap props;  // its profile section; empty when it has none
};

struct ProfileInfo {
  std::string name;                   // as created
  std::vector<ServiceInfo> services;  // in creation order
};

// The profile administration object over db.
//  - GetProfileTable: rows PR_DISPLAY_NAME_A, PR_DEFAULT_PROFILE (true for
//    the oldest profile), oldest first.
//  - CreateProfile: MAPI_E_INVALID_PARAMETER for a null or empty name,
//    MAPI_E_NO_ACCESS when the name exists in any case. The password is kept
//    but never checked.
//  - DeleteProfile: removes its services and sections; MAPI_E_NOT_FOUND
//    when absent.
//  - AdminServices: MAPI_E_NOT_FOUND for an unknown profile. The object
//    answers QueryInterface(IID_IMsgServiceAdmin2) unless the meta setting
//    kServiceAdmin2Key is "0" (read at this call).
// The service administration object:
//  - GetMsgServiceTable: rows PR_SERVICE_UID, PR_SERVICE_NAME_A,
//    PR_DISPLAY_NAME_A, PR_INSTANCE_KEY (the UID), in creation order
//    (the _W tags with MAPI_UNICODE).
//  - CreateMsgService / CreateMsgServiceEx: a new random UID, a service
//    row and its section, which starts with PR_SERVICE_UID,
//    PR_SERVICE_NAME_A and PR_DISPLAY_NAME_A. Any service name is taken.
//  - DeleteMsgService: removes the service and its section;
//    MAPI_E_NOT_FOUND when the profile has no such service.
//  - ConfigureMsgService: merges the given values into the service's
//    section (all or none: a value the store cannot keep fails the call).
//  - OpenProfileSection: an IProfSect; MAPI_E_NOT_FOUND for a section that
//    does not exist, unless MAPI_MODIFY creates it. Without MAPI_MODIFY the
//    section is read-only (MAPI_E_NO_ACCESS on writes). GetProps returns
//    every requested tag, missing ones as PT_ERROR MAPI_E_NOT_FOUND with
//    MAPI_W_ERRORS_RETURNED; a null tag array returns every property.
//    OpenProperty and named properties give MAPI_E_NO_SUPPORT.
// Calls on objects whose profile (or section) has since been deleted fail
// with MAPI_E_OBJECT_DELETED.
//
// Returns S_OK with *out holding one reference the caller owns, or
// MAPI_E_INVALID_PARAMETER (null db or out) / MAPI_E_NOT_ENOUGH_MEMORY with
// *out null.
[[nodiscard]] HRESULT CreateProfAdmin(std::shared_ptr<Db> db, IProfAdmin** out);

// Reads profile name (any case), its services and their sections into *out.
// S_OK; MAPI_E_NOT_FOUND when there is no such profile; MAPI_E_CORRUPT_DATA
// for a section that does not parse; MAPI_E_CALL_FAILED on a database
// error. Runs inside the caller's transaction (Db::Read or Db::Write).
[[nodiscard]] HRESULT ReadProfile(sqlite3* conn, std::string_view name, ProfileInfo* out);

// The first service of info whose name is name (any case), or nullptr.
// The pointer is valid while info is unchanged.
const ServiceInfo* FindService(const ProfileInfo& info, std::string_view name);

}  // namespace zuvstore
