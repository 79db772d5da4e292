// mapifolder.h: CMAPIFolder, one open MAPI folder with its contents and
// hierarchy tables, subfolder search and string-named property resolution.
//
// Ownership: owns its folder object (through CMAPIObject) and the two
// tables; folders it returns are new objects owned by the caller.
// Threading: one thread at a time, like every CMAPIObject.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mapi_access/mapiobject.h"

class CMAPIFolder : public CMAPIObject {
 public:
  // Takes over one reference to folder (the caller's). flags are the flags
  // it was opened with.
  CMAPIFolder(CMapiExMod* module, IMAPIFolder* folder, ULONG flags);
  ~CMAPIFolder() override;

  // Releases the tables, then closes the object.
  void Close() override;

  IMAPIFolder* Folder() const { return reinterpret_cast<IMAPIFolder*>(item_); }
  ULONG OpenFlags() const { return flags_; }

  // ---- Contents ----
  // Opens the contents table (kept until Close). On failure *error holds the
  // MAPI error text or "Unknown MAPI Error getting contents table".
  bool GetContentsTable(std::string* error);
  // The contents table with columns {PR_MESSAGE_FLAGS, PR_ENTRYID}.
  bool GetContents(std::string* error);
  // The contents table with the caller's columns; null on failure. Borrowed:
  // valid until Close.
  IMAPITable* GetContentsTable(LPSPropTagArray columns);
  [[nodiscard]] HRESULT RestrictContents(LPSRestriction restriction, ULONG flags);
  IMAPITable* ContentsTable() const { return contents_; }
  // DeleteMessages of one message.
  [[nodiscard]] HRESULT DeleteMessage(const SBinary& entryID);

  // ---- Subfolders ----
  // Opens the hierarchy table ({PR_DISPLAY_NAME_A, PR_ENTRYID}), deep
  // (CONVENIENT_DEPTH, the whole subtree) or the direct children only.
  bool GetSubFolders(bool deep);
  // Reads the next row of that table and opens its folder (new object,
  // caller owns). False at the end or on error.
  bool GetNextSubFolder(std::unique_ptr<CMAPIFolder>* folder, std::string* name);
  // The first folder of the subtree named name (ignoring case), in table
  // order; null when none.
  std::unique_ptr<CMAPIFolder> FindSubFolder(const std::string& name);
  // name among the direct subfolders, else inside each of them in turn.
  std::unique_ptr<CMAPIFolder> FindSubFolderTwoLevels(const std::string& name);
  // The folder at path below this one (display names, ignoring case),
  // trying every candidate branch; null when none.
  std::unique_ptr<CMAPIFolder> FindFolderByPath(const std::vector<std::string>& path, size_t level = 0);
  // CreateFolder(FOLDER_GENERIC, OPEN_IF_EXISTS); sets PR_CONTAINER_CLASS_A
  // when containerClass is non-empty. Null on failure.
  std::unique_ptr<CMAPIFolder> CreateSubFolder(const char* name, const char* containerClass);
  // The direct subfolders as records; MAPI failure code otherwise.
  [[nodiscard]] HRESULT GetHierarchy(std::vector<ZUV_FolderInfo_s>* list);

  // ---- String-named properties in PS_PUBLIC_STRINGS ----
  // Resolves name on this folder: 0 and *tag = the ID with propType, 1 when
  // the name has no ID (only without create), or the negative MAPI result.
  [[nodiscard]] HRESULT ProptagFromString(const char* name, ULONG propType, ULONG* tag);
  [[nodiscard]] HRESULT ProptagFromString(const char* name, ULONG propType, ULONG* tag, bool create);
  // The form the custom-property lookup calls once per GUID of the GUID
  // table. The GUID does not select the set: names resolve in
  // PS_PUBLIC_STRINGS like the other forms.
  [[nodiscard]] HRESULT ProptagFromString(const GUID* propSet, const char* name, ULONG propType, ULONG* tag);

 private:
  std::unique_ptr<CMAPIFolder> OpenSubFolder(const SBinary& entryID);
  // (Re)opens contents_; the MAPI result.
  HRESULT OpenContentsTable();
  void ReleaseTables();

  ULONG flags_;
  IMAPITable* hierarchy_ = nullptr;  // owned; from GetSubFolders
  IMAPITable* contents_ = nullptr;   // owned
};
