// mapiobject.h: CMAPIObject, the wrapper of one open MAPI item (message or
// folder), the entry-ID string converters, the folder record of hierarchy
// lists (the RAII holders are in mapi/mapiptr.h).
//
// Class tree: CMAPIObject <- CMAPIFolder (mapifolder.h),
//             CMAPIMessage <- CMAPIContact (mapimessage.h).
//
// Ownership: an object belongs to one CMapiExMod (borrowed; it must outlive
// the object) and owns one reference to its MAPI item and a copy of the
// item's entry ID. The destructor closes without saving.
//
// Threading: an object is used by one thread at a time; its owner
// serialises. The MAPI calls underneath are thread-safe.
//
// Results: operations return false, null, 0 or "" (or a MAPI HRESULT where
// declared) and log the item's last MAPI error; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapix.h"

class CMapiExMod;
class CMAPIFolder;

// ---- Entry-ID strings ----

namespace zuv {

// The entry-ID string of len bytes: "%02X" per byte, no separators; "" for
// an empty entry ID.
std::string EntryIDToString(const void* data, size_t len);

// Converts an entry-ID string back to bytes. Characters of
// "\r\n\t -.,\\/'{}`" are skipped anywhere; a leading "0x"/"0X" (when more
// than two characters remain) or "x"/"X" is skipped; then hex digits are
// taken in pairs. Returns false (and leaves *bytes empty) for any other
// character or an odd number of digits.
[[nodiscard]] bool HexToBin(std::string_view text, std::vector<BYTE>* bytes);

// An 8-bit string in the process code page (UTF-8) as UTF-16, for
// MAPINAMEID names.
std::u16string AnsiToWide(std::string_view text);

// The text GetLastError records for hr (mapi/mapiptr.h).
using zuvstore::LastErrorText;

// Text of a MAPI time for logs and contacts: "MM/dd/yyyy" in local time;
// "" for a zero time.
std::string FileTimeToLocalDate(const FILETIME& ft);
// Parses "MM/dd/yyyy" (local midnight) into a UTC FILETIME. False when the
// text is not such a date.
[[nodiscard]] bool LocalDateToFileTime(std::string_view text, FILETIME* ft);

}  // namespace zuv

// One folder of a hierarchy list.
struct ZUV_FolderInfo_s {
  std::string name;            // PR_DISPLAY_NAME_A
  std::string entryID;         // PR_LONGTERM_ENTRYID_FROM_TABLE, entry-ID string
  uint32_t contentCount = 0;   // PR_CONTENT_COUNT
  uint32_t childCount = 0;     // PR_FOLDER_CHILD_COUNT
  uint64_t created = 0;        // PR_CREATION_TIME, FILETIME ticks
  uint64_t modified = 0;       // PR_LAST_MODIFICATION_TIME, FILETIME ticks
  std::string containerClass;  // PR_CONTAINER_CLASS_A; "" when missing
};

// The key of a named property: a string name in PS_PUBLIC_STRINGS
// (MNID_STRING, at most 255 characters), or a long ID in the property set
// {set_data1-0000-0000-C000-000000000046} (MNID_ID).
struct NamedPropKey {
  static NamedPropKey ByName(std::string name) { return NamedPropKey{std::move(name), 0, 0}; }
  static NamedPropKey ById(uint32_t set_data1, LONG lid) { return NamedPropKey{{}, set_data1, lid}; }
  bool by_name() const { return set_data1 == 0; }

  std::string name;
  uint32_t set_data1 = 0;  // e.g. 0x00062004 for PSETID_Address
  LONG lid = 0;
};

// One open MAPI item of a CMapiExMod.
class CMAPIObject {
 public:
  CMAPIObject();
  virtual ~CMAPIObject();
  CMAPIObject(const CMAPIObject&) = delete;
  CMAPIObject& operator=(const CMAPIObject&) = delete;

  // Closes, then opens entryID on the module's session with MAPI_BEST_ACCESS.
  // Returns false (object closed, entry ID kept) when it cannot be opened.
  virtual bool Open(CMapiExMod* module, const SBinary& entryID);
  // Clears the entry ID, releases the item and forgets the module.
  virtual void Close();
  // SaveChanges: close ? 0 : KEEP_OPEN_READWRITE. A successful closing save
  // closes the object.
  virtual bool Save(bool close);
  // Reads a string property into *text ("" when it is not a readable
  // string); asStream reads it through OpenProperty in 16 KiB blocks.
  virtual bool GetPropertyString(ULONG tag, std::string* text, bool asStream);
  // Writes a string property; asStream writes it through OpenProperty with
  // its terminating NUL. False without item or text.
  virtual bool SetPropertyString(ULONG tag, const char* text, bool asStream);

  // Binds this object to a new message in folder. PR_ENTRYID is read when
  // the store already has one. False (logged) without a folder.
  bool Create(CMapiExMod* module, CMAPIFolder* folder);

  bool GetEntryIDString(std::string* text) const;
  // Copies entryID (null clears it).
  void SetEntryID(const SBinary* entryID);
  const std::vector<BYTE>& EntryID() const { return entry_id_; }

  // GetProps of one tag. On success *value holds the value (free with
  // MAPIFreeBuffer; may be a PT_ERROR value with MAPI_W_ERRORS_RETURNED).
  // E_INVALIDARG without item.
  [[nodiscard]] HRESULT GetProperty(ULONG tag, LPSPropValue* value);
  // The 32-bit value of tag, or def when missing.
  LONG GetPropertyLong(ULONG tag, LONG def);
  [[nodiscard]] bool SetPropertyLong(ULONG tag, LONG value);
  [[nodiscard]] bool SetPropertyBool(ULONG tag, bool value);
  [[nodiscard]] bool SetProperties(ULONG count, LPSPropValue props);

  ULONG GetMessageFlags();
  bool SetMessageFlags(ULONG flags);
  bool GetMessageClass(std::string* text);
  LONG GetMessageEditorFormat();
  bool SetMessageEditorFormat(ULONG format);

  // ---- Named properties ----
  // The tag of key with type; create asks GetIDsFromNames to assign an ID.
  // 0 and *tag set, MAPI_E_NOT_FOUND when the name has no ID, else the
  // MAPI failure.
  [[nodiscard]] HRESULT GetNamedPropTag(const NamedPropKey& key, ULONG type, bool create, ULONG* tag);
  [[nodiscard]] bool SetNamedString(const NamedPropKey& key, const char* value);
  [[nodiscard]] bool SetNamedLong(const NamedPropKey& key, LONG value);
  [[nodiscard]] bool SetNamedBool(const NamedPropKey& key, bool value);
  [[nodiscard]] bool SetNamedTime(const NamedPropKey& key, const FILETIME& value);
  [[nodiscard]] bool SetNamedStrings(const NamedPropKey& key, const std::vector<std::string>& values);
  bool GetNamedString(const NamedPropKey& key, std::string* value);
  LONG GetNamedLong(const NamedPropKey& key, LONG def);
  bool GetNamedBool(const NamedPropKey& key, bool def);
  bool GetNamedTime(const NamedPropKey& key, FILETIME* value);
  bool GetNamedStrings(const NamedPropKey& key, std::vector<std::string>* values);
  // DeleteProps of the named property (any type). True when it is gone.
  bool DeleteNamedProperty(const NamedPropKey& key, ULONG type);

  // ---- Attachments (mapimessage_attachments.cpp) ----
  // Number of attachments; 0 on any error.
  int GetAttachmentCount();
  // Content ID / file name of the attachment at table row index ("" when
  // none).
  std::string GetAttachmentCID(int index);
  std::string GetAttachmentName(int index);
  // Reads the data (PR_ATTACH_DATA_BIN) of attachment attachNum: *size gets
  // its size before sink is first called, then sink gets the bytes in
  // order, in blocks of at most 64 KiB; sink returns false to stop.
  // S_OK when every byte went to sink (an empty attachment never calls it);
  // MAPI_E_NOT_FOUND, with sink not called, when the attachment is not in
  // the attachment table (or that cannot be read); MAPI_E_USER_CANCEL when
  // sink stopped; MAPI_E_CORRUPT_DATA when the data ends before its size;
  // else the MAPI failure.
  [[nodiscard]] HRESULT ReadAttachment(ULONG attachNum,
                                       const std::function<bool(const void* data, size_t len)>& sink,
                                       uint64_t* size);
  // Adds the file at path as a by-value attachment with the caller's extra
  // properties and five of its own; the message is not saved. attachNum,
  // when given, gets the new attachment's number.
  bool AddAttachment(const char* path, ULONG flags, const SPropValue* extraProps, ULONG extraCount,
                     const char* displayName, const char* contentID, ULONG* attachNum = nullptr);
  bool AddAttachmentFile(const char* path, ULONG flags, const char* displayName, const char* contentID);
  bool DeleteAttachment(ULONG attachNum);
  bool SetAttachmentProperties(ULONG attachNum, LPSPropValue props, ULONG count);

  // ---- Body ----
  // PR_BODY_A as a stream, editor format plain text.
  bool SetBody(const char* text);
  // PR_BODY_HTML_A on stores with STORE_HTML_OK, else the HTML wrapped in
  // RTF (non-ASCII as Unicode escapes, rtf_text.h) and stored as
  // PR_RTF_COMPRESSED.
  bool SetHTML(const char* html);
  // Writes rtf through a compressing PR_RTF_COMPRESSED stream.
  bool SetRTF(const char* rtf);
  // Reads PR_RTF_COMPRESSED uncompressed into *rtf. False when the item has
  // none or it cannot be read.
  bool GetRTF(std::string* rtf);

  CMapiExMod* Module() const { return module_; }
  IMAPIProp* Item() const { return item_; }

 protected:
  // Takes over one reference to item (the caller's). Any previous item is
  // released.
  void Attach(IMAPIProp* item);
  // The item as an IMessage (new reference), or null for folders.
  MapiPtr<IMessage> AsMessage();
  // Logs the item's last error text for hr in the "%s:%s:MAPI Error:%s\n"
  // form under where/function.
  void LogItemError(HRESULT hr, const char* where, const char* function);
  // The item's last error text for hr, or "".
  std::string ItemErrorText(HRESULT hr);

  CMapiExMod* module_ = nullptr;  // borrowed
  IMAPIProp* item_ = nullptr;     // owned reference
  std::vector<BYTE> entry_id_;

 private:
  [[nodiscard]] bool SetNamedValue(const NamedPropKey& key, ULONG type, SPropValue value);
  [[nodiscard]] HRESULT GetNamedValue(const NamedPropKey& key, ULONG type, LPSPropValue* value);
  // The attachment row whose PR_ATTACH_NUM is attachNum; false (logged
  // under function) when it is not in the table.
  bool FindAttachment(IMessage* message, ULONG attachNum, const char* function);
};
