// mapidefs.h: MAPI base definitions shared by the service and the message store:
// the GUID layout, property type codes, property tag macros, name-ID kinds and
// the well-known property-set GUIDs.
//
// Names and values are those of Extended MAPI, so code written against MAPI
// reads the same here. Everything is constexpr data; the header has no state.
#pragma once

#include <cstdint>

// Basic integer typedefs, as far as the definitions below need them.
using BYTE = uint8_t;
using USHORT = uint16_t;
using ULONG = uint32_t;
using LONG = int32_t;

// A GUID in the Windows memory layout: Data1..Data3 in host byte order, Data4
// as bytes. The text form {D1-D2-D3-D4[0..1]-D4[2..7]} prints the fields in
// that order.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

using IID = GUID;
using CLSID = GUID;
using LPGUID = GUID*;
using LPCGUID = const GUID*;

// Property types: the low 16 bits of a property tag.
inline constexpr ULONG PT_UNSPECIFIED = 0x0000, PT_NULL = 0x0001;
inline constexpr ULONG PT_I2 = 0x0002, PT_SHORT = PT_I2;
inline constexpr ULONG PT_LONG = 0x0003, PT_I4 = PT_LONG;
inline constexpr ULONG PT_FLOAT = 0x0004, PT_R4 = PT_FLOAT;
inline constexpr ULONG PT_DOUBLE = 0x0005, PT_R8 = PT_DOUBLE;
inline constexpr ULONG PT_CURRENCY = 0x0006, PT_APPTIME = 0x0007;
inline constexpr ULONG PT_ERROR = 0x000A, PT_BOOLEAN = 0x000B, PT_OBJECT = 0x000D;
inline constexpr ULONG PT_I8 = 0x0014, PT_LONGLONG = PT_I8;
inline constexpr ULONG PT_STRING8 = 0x001E, PT_UNICODE = 0x001F;
inline constexpr ULONG PT_SYSTIME = 0x0040, PT_CLSID = 0x0048, PT_BINARY = 0x0102;

// Multi-valued forms: the single-valued type with MV_FLAG set.
inline constexpr ULONG MV_FLAG = 0x1000;
inline constexpr ULONG PT_MV_I2 = MV_FLAG | PT_I2, PT_MV_SHORT = PT_MV_I2;
inline constexpr ULONG PT_MV_LONG = MV_FLAG | PT_LONG, PT_MV_I4 = PT_MV_LONG;
inline constexpr ULONG PT_MV_FLOAT = MV_FLAG | PT_FLOAT, PT_MV_R4 = PT_MV_FLOAT;
inline constexpr ULONG PT_MV_DOUBLE = MV_FLAG | PT_DOUBLE, PT_MV_R8 = PT_MV_DOUBLE;
inline constexpr ULONG PT_MV_CURRENCY = MV_FLAG | PT_CURRENCY, PT_MV_APPTIME = MV_FLAG | PT_APPTIME;
inline constexpr ULONG PT_MV_I8 = MV_FLAG | PT_I8, PT_MV_LONGLONG = PT_MV_I8;
inline constexpr ULONG PT_MV_STRING8 = MV_FLAG | PT_STRING8, PT_MV_UNICODE = MV_FLAG | PT_UNICODE;
inline constexpr ULONG PT_MV_SYSTIME = MV_FLAG | PT_SYSTIME, PT_MV_CLSID = MV_FLAG | PT_CLSID;
inline constexpr ULONG PT_MV_BINARY = MV_FLAG | PT_BINARY;

// Property tags: property ID in the high 16 bits, property type in the low 16.
#define PROP_TYPE_MASK ((ULONG)0x0000FFFF)
#define PROP_TYPE(ulPropTag) (((ULONG)(ulPropTag)) & PROP_TYPE_MASK)
#define PROP_ID(ulPropTag) (((ULONG)(ulPropTag)) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((((ULONG)(ulPropID)) << 16) | ((ULONG)(ulPropType)))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) \
  ((((ULONG)0xFFFF0000) & ((ULONG)(ulPropTag))) | ((ULONG)(ulPropType)))

// Kinds of a named-property name (MAPINAMEID::ulKind).
inline constexpr ULONG MNID_ID = 0;
inline constexpr ULONG MNID_STRING = 1;

// GetIDsFromNames: create IDs for names that have none yet.
inline constexpr ULONG MAPI_CREATE = 0x00000002;

// GUIDs of the {xxxxxxxx-0000-0000-C000-000000000046} family (DEFINE_OLEGUID).
constexpr GUID MakeOleGuid(uint32_t data1, uint16_t data2, uint16_t data3) {
  return GUID{data1, data2, data3, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}

// Property sets of named properties and of the routing and header names.
inline constexpr GUID PS_MAPI = MakeOleGuid(0x00020328, 0, 0);
inline constexpr GUID PS_PUBLIC_STRINGS = MakeOleGuid(0x00020329, 0, 0);
inline constexpr GUID PS_ROUTING_EMAIL_ADDRESSES = MakeOleGuid(0x00020380, 0, 0);
inline constexpr GUID PS_ROUTING_ADDRTYPE = MakeOleGuid(0x00020381, 0, 0);
inline constexpr GUID PS_ROUTING_DISPLAY_NAME = MakeOleGuid(0x00020382, 0, 0);
inline constexpr GUID PS_ROUTING_ENTRYID = MakeOleGuid(0x00020383, 0, 0);
inline constexpr GUID PS_ROUTING_SEARCH_KEY = MakeOleGuid(0x00020384, 0, 0);
inline constexpr GUID PS_INTERNET_HEADERS = MakeOleGuid(0x00020386, 0, 0);

inline constexpr GUID PSETID_Appointment = MakeOleGuid(0x00062002, 0, 0);
inline constexpr GUID PSETID_Task = MakeOleGuid(0x00062003, 0, 0);
inline constexpr GUID PSETID_Address = MakeOleGuid(0x00062004, 0, 0);
inline constexpr GUID PSETID_Common = MakeOleGuid(0x00062008, 0, 0);
inline constexpr GUID PSETID_Log = MakeOleGuid(0x0006200A, 0, 0);
inline constexpr GUID PSETID_Note = MakeOleGuid(0x0006200E, 0, 0);
inline constexpr GUID PSETID_Report = MakeOleGuid(0x00062013, 0, 0);
inline constexpr GUID PSETID_Remote = MakeOleGuid(0x00062014, 0, 0);
inline constexpr GUID PSETID_Sharing = MakeOleGuid(0x00062040, 0, 0);
inline constexpr GUID PSETID_PostRss = MakeOleGuid(0x00062041, 0, 0);
inline constexpr GUID PSETID_Meeting = {
    0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
inline constexpr GUID PSETID_CalendarAssistant = {
    0x11000E07, 0xB51B, 0x40D6, {0xAF, 0x21, 0xCA, 0xA8, 0x5E, 0xDA, 0xB1, 0xD0}};
inline constexpr GUID PSETID_UnifiedMessaging = {
    0x4442858E, 0xA9E3, 0x4E80, {0xB9, 0x00, 0x31, 0x7A, 0x21, 0x0C, 0xC1, 0x5B}};
inline constexpr GUID PSETID_AirSync = {
    0x71035549, 0x0739, 0x4DCB, {0x91, 0x63, 0x00, 0xF0, 0x58, 0x0D, 0xBB, 0xDF}};
