// profile_admin.h: MAPI profiles for the session cache: does a profile
// exist, create one, add the Exchange service ("MSEMS") for a server and a
// mailbox. The cache calls ProfileExists, CreateProfile when absent,
// AddMailboxToProfile, then CMapiExMod::Login.
//
// Every call returns a MAPI result code and logs its step to logger "ZUV";
// nothing is retried. Safe from any thread (each call uses its own profile
// administration objects).
#pragma once

#include "mapi/mapix.h"

namespace zuv {

// The provider marker written into existing services' sections while a new
// service is added without IMsgServiceAdmin2.
inline constexpr ULONG kProviderMarkerTag = 0x1000001E;
inline constexpr const char* kProviderMarker = "MFCMAPI Existing Provider Marker";

// 0 when profile does not exist, MAPI_E_NO_ACCESS (0x80070005) when it does
// (names compare ignoring case), E_INVALIDARG for a null name or when no
// administration object can be had. profAdmin may be null (one is obtained
// and released here); a given one is borrowed.
[[nodiscard]] HRESULT ProfileExists(IProfAdmin* profAdmin, const char* profile);

// Creates an empty profile. E_INVALIDARG for a null name.
[[nodiscard]] HRESULT CreateProfile(const char* profile);

// AddServiceToProfile("MSEMS") with PR_PROFILE_UNRESOLVED_SERVER = server
// and PR_PROFILE_UNRESOLVED_NAME = mailbox. Does nothing (returns 0) when any
// string is null.
[[nodiscard]] HRESULT AddMailboxToProfile(ULONG_PTR uiParam, const char* server,
                                          const char* mailbox, const char* profile);

// Adds service to profile and configures it with props (propCount values,
// borrowed). Uses IMsgServiceAdmin2::CreateMsgServiceEx when offered, else
// finds the new service by marking the existing ones (no marker is left
// behind). E_INVALIDARG for a null service or profile.
[[nodiscard]] HRESULT AddServiceToProfile(const char* service, ULONG_PTR uiParam, ULONG flags,
                                          ULONG propCount, LPSPropValue props, const char* profile);

// True when prop is a non-empty string of propType (PT_STRING8 or
// PT_UNICODE); otherwise logs why and returns false.
bool CheckStringProp(const SPropValue* prop, ULONG propType);

}  // namespace zuv
