// mapimessage_attachments.cpp: CMAPIObject's attachment operations: count,
// names and content IDs, reading the data in blocks, adding from a file,
// deleting and setting properties. Every table, attachment and stream is
// released on all paths (RAII holders).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiobject.h"

namespace {

constexpr const char* kFile = "zuv_service/mapimessage";
constexpr size_t kFileBlock = 256 * 1024;
constexpr ULONG kReadBlock = 64 * 1024;
constexpr char kContactPicture[] = "ContactPicture.jpg";

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

bool CMAPIObject::FindAttachment(IMessage* message, ULONG attachNum, const char* function) {
  MapiPtr<IMAPITable> table;
  HRESULT hr = message->GetAttachmentTable(0, table.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get the attachment table:%s", kFile, function, zuv::LastErrorText(message, hr).c_str());
    return false;
  }
  auto cols = MakePropTags(PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_FILENAME_A);
  if (FAILED(hr = table->SetColumns(cols.get(), 0))) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot set the columns for attachment table query:%s", kFile, function,
                zuv::LastErrorText(table.get(), hr).c_str());
    return false;
  }
  for (;;) {
    MapiRows rows;
    if (FAILED(hr = table->QueryRows(1, 0, rows.put()))) {
      NLog_ErrorA("ZUV", "%s:%s: Cannot query the attachment table:%s", kFile, function,
                  zuv::LastErrorText(table.get(), hr).c_str());
      return false;
    }
    if (rows->cRows == 0) return false;
    const SPropValue& num = rows->aRow[0].lpProps[0];
    if (num.ulPropTag == PR_ATTACH_NUM && num.Value.ul == attachNum) return true;
  }
}

int CMAPIObject::GetAttachmentCount() {
  const char* fn = "CMAPIObject::GetAttachmentCount";
  MapiPtr<IMessage> message = AsMessage();
  if (!message) {
    NLog_ErrorA("ZUV", "%s:%s: Internal object is NULL", kFile, fn);
    return 0;
  }
  MapiBuffer<SPropValue> has;
  HRESULT hr = GetProperty(PR_HASATTACH, has.put());
  if (FAILED(hr) || has->ulPropTag != PR_HASATTACH) {
    NLog_ErrorA("ZUV", "%s:%s: Error getting the HASATTACH property:%s", kFile, fn, ItemErrorText(hr).c_str());
    return 0;
  }
  if (has->Value.b == 0) return 0;
  MapiPtr<IMAPITable> table;
  ULONG count = 0;
  if (FAILED(hr = message->GetAttachmentTable(0, table.put())) || FAILED(hr = table->GetRowCount(0, &count))) {
    NLog_ErrorA("ZUV", "%s:%s: Error getting the attachment table:%s", kFile, fn, ItemErrorText(hr).c_str());
    return 0;
  }
  return static_cast<int>(count);
}

namespace {

// Row index of the attachment table with cols; false when index is past the
// end or a call fails (logged under function).
bool ReadAttachmentRow(IMessage* message, int index, LPSPropTagArray cols, const char* function, MapiRows* rows,
                       const SRow** row) {
  MapiPtr<IMAPITable> table;
  HRESULT hr = message->GetAttachmentTable(0, table.put());
  ULONG count = 0;
  if (FAILED(hr) || FAILED(hr = table->GetRowCount(0, &count))) {
    NLog_ErrorA("ZUV", "%s:%s: Error getting the attachment table:%s", kFile, function, zuv::LastErrorText(message, hr).c_str());
    return false;
  }
  if (index < 0 || static_cast<ULONG>(index) >= count) return false;
  if (FAILED(hr = table->SetColumns(cols, 0))) {
    NLog_ErrorA("ZUV", "%s:%s: Error setting the attachment table columns:%s", kFile, function,
                zuv::LastErrorText(table.get(), hr).c_str());
    return false;
  }
  if (FAILED(hr = table->QueryRows(static_cast<LONG>(count), 0, rows->put())) ||
      (*rows)->cRows <= static_cast<ULONG>(index)) {
    NLog_ErrorA("ZUV", "%s:%s: Error querying the attachment table :%s", kFile, function,
                zuv::LastErrorText(table.get(), hr).c_str());
    return false;
  }
  *row = &(*rows)->aRow[index];
  return true;
}

}  // namespace

std::string CMAPIObject::GetAttachmentCID(int index) {
  MapiPtr<IMessage> message = AsMessage();
  if (!message) return "";
  auto cols = MakePropTags(PR_ATTACH_CONTENT_ID_A);
  MapiRows rows;
  const SRow* row = nullptr;
  if (!ReadAttachmentRow(message.get(), index, cols.get(), "CMAPIObject::GetAttachmentCID", &rows, &row)) return "";
  const SPropValue& v = row->lpProps[0];
  return v.ulPropTag == PR_ATTACH_CONTENT_ID_A && v.Value.lpszA != nullptr ? v.Value.lpszA : "";
}

std::string CMAPIObject::GetAttachmentName(int index) {
  MapiPtr<IMessage> message = AsMessage();
  if (!message) return "";
  auto cols = MakePropTags(PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_FILENAME_A);
  MapiRows rows;
  const SRow* row = nullptr;
  if (!ReadAttachmentRow(message.get(), index, cols.get(), "CMAPIObject::GetAttachmentName", &rows, &row)) return "";
  const SPropValue* v = row->lpProps;
  if (v[0].ulPropTag == PR_ATTACH_LONG_FILENAME_A && v[0].Value.lpszA != nullptr) return v[0].Value.lpszA;
  if (v[1].ulPropTag == PR_ATTACH_FILENAME_A && v[1].Value.lpszA != nullptr) return v[1].Value.lpszA;
  return "";
}

HRESULT CMAPIObject::ReadAttachment(ULONG attachNum, const std::function<bool(const void* data, size_t len)>& sink,
                                    uint64_t* size) {
  const char* fn = "CMAPIObject::ReadAttachment";
  NLog_TraceA("ZUV", "%s:%s: Reading attachment %lu", kFile, fn, static_cast<unsigned long>(attachNum));
  *size = 0;
  MapiPtr<IMessage> message = AsMessage();
  if (!message || !FindAttachment(message.get(), attachNum, fn)) {
    NLog_ErrorA("ZUV", "%s:%s: No attachment %lu to read", kFile, fn, static_cast<unsigned long>(attachNum));
    return MAPI_E_NOT_FOUND;
  }
  MapiPtr<IAttach> attach;
  HRESULT hr = message->OpenAttach(attachNum, nullptr, 0, attach.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot open the attachment :%s", kFile, fn, zuv::LastErrorText(message.get(), hr).c_str());
    return hr;
  }
  MapiPtr<IStream> stream;
  hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, stream.put_unknown());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot open PR_ATTACH_DATA_BIN:%s", kFile, fn, zuv::LastErrorText(attach.get(), hr).c_str());
    return hr;
  }
  STATSTG stat{};
  if (FAILED(hr = stream->Stat(&stat, STATFLAG_NONAME))) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot read the attachment size", kFile, fn);
    return hr;
  }
  *size = stat.cbSize.QuadPart;
  std::vector<char> block(static_cast<size_t>(std::min<uint64_t>(*size, kReadBlock)));
  uint64_t total = 0;
  while (total < *size) {
    const ULONG want = static_cast<ULONG>(std::min<uint64_t>(*size - total, kReadBlock));
    ULONG read = 0;
    if (FAILED(hr = stream->Read(block.data(), want, &read))) {
      NLog_ErrorA("ZUV", "%s:%s: Read failed after %llu bytes:%s", kFile, fn, static_cast<unsigned long long>(total),
                  zuv::LastErrorText(attach.get(), hr).c_str());
      return hr;
    }
    if (read == 0) {
      NLog_ErrorA("ZUV", "%s:%s: The data ends after %llu of %llu bytes", kFile, fn,
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(*size));
      return MAPI_E_CORRUPT_DATA;
    }
    total += read;
    if (!sink(block.data(), read)) return MAPI_E_USER_CANCEL;
  }
  NLog_TraceA("ZUV", "%s:%s: Read %llu bytes", kFile, fn, static_cast<unsigned long long>(total));
  return S_OK;
}

bool CMAPIObject::AddAttachment(const char* path, ULONG flags, const SPropValue* extraProps, ULONG extraCount,
                                const char* displayName, const char* contentID, ULONG* attachNum) {
  const char* fn = "CMAPIObject::AddAttachment";
  const char* file_path = path != nullptr ? path : "";
  NLog_TraceA("ZUV", "%s:%s:Adding an attachment %s:%s:%s", kFile, fn, file_path, displayName != nullptr ? displayName : "",
              contentID != nullptr ? contentID : "");
  MapiPtr<IMessage> message = AsMessage();
  if (!message) return false;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(file_path, "rb"));
  if (!file) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot open file %s for reading", kFile, fn, file_path);
    return false;
  }
  std::string name;
  if (displayName != nullptr && displayName[0] != '\0') {
    name = displayName;
  } else {
    const char* slash = std::strrchr(file_path, '/');
    const char* backslash = std::strrchr(file_path, '\\');
    const char* last = slash > backslash ? slash : backslash;
    name = last != nullptr ? last + 1 : file_path;
  }
  ULONG num = 0;
  MapiPtr<IAttach> attach;
  HRESULT hr = message->CreateAttach(nullptr, flags, &num, attach.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot create attachment for message:%s", kFile, fn, zuv::LastErrorText(message.get(), hr).c_str());
    return false;
  }
  std::vector<SPropValue> props(extraProps, extraProps + (extraProps != nullptr ? extraCount : 0));
  SPropValue p[5] = {};
  p[0].ulPropTag = PR_ATTACH_METHOD;
  p[0].Value.l = ATTACH_BY_VALUE;
  p[1].ulPropTag = PR_RENDERING_POSITION;
  p[1].Value.l = -1;
  const bool picture = contentID != nullptr && std::strcmp(contentID, kContactPicture) == 0;
  const char* file_name = picture ? kContactPicture : name.c_str();
  p[2].ulPropTag = PR_ATTACH_LONG_FILENAME_A;
  p[2].Value.lpszA = const_cast<char*>(file_name);
  p[3].ulPropTag = PR_ATTACH_FILENAME_A;
  p[3].Value.lpszA = const_cast<char*>(file_name);
  if (picture) {
    p[4].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
    p[4].Value.b = 1;
  } else if (contentID != nullptr && contentID[0] != '\0') {
    p[4].ulPropTag = PR_ATTACH_CONTENT_ID_A;
    p[4].Value.lpszA = const_cast<char*>(contentID);
  } else {
    p[4].ulPropTag = PROP_TAG(PT_NULL, 0);  // empty placeholder
  }
  props.insert(props.end(), p, p + 5);
  hr = attach->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot set properties to attachment:%s", kFile, fn, zuv::LastErrorText(attach.get(), hr).c_str());
    return false;
  }
  MapiPtr<IStream> stream;
  hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, stream.put_unknown());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot set properties to attachment:%s", kFile, fn, zuv::LastErrorText(attach.get(), hr).c_str());
    return false;
  }
  // An empty file must still leave an empty PR_ATTACH_DATA_BIN: the store
  // keeps a created stream only when something changed it.
  if (FAILED(hr = stream->SetSize(ULARGE_INTEGER{}))) return false;
  ULONG total = 0;
  std::vector<char> block(kFileBlock);
  for (;;) {
    size_t n = std::fread(block.data(), 1, block.size(), file.get());
    if (n == 0) break;
    ULONG written = 0;
    if (FAILED(hr = stream->Write(block.data(), static_cast<ULONG>(n), &written))) {
      NLog_ErrorA("ZUV", "%s:%s: Cannot write %s into the attachment after %u bytes:%s", kFile, fn, file_path,
                  static_cast<unsigned>(total), zuv::LastErrorText(attach.get(), hr).c_str());
      return false;
    }
    total += written;
  }
  if (FAILED(hr = stream->Commit(0))) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot keep the data of %s in the attachment:%s", kFile, fn, file_path,
                zuv::LastErrorText(attach.get(), hr).c_str());
    return false;
  }
  stream.reset();
  file.reset();
  NLog_InfoA("ZUV", "Saving attachment size of %u\n", static_cast<unsigned>(total));
  SPropValue size{};
  size.ulPropTag = PR_ATTACH_SIZE;
  size.Value.l = static_cast<LONG>(total);
  (void)attach->SetProps(1, &size, nullptr);
  hr = attach->SaveChanges(KEEP_OPEN_READONLY);
  if (FAILED(hr)) return false;
  if (attachNum != nullptr) *attachNum = num;
  return true;
}

bool CMAPIObject::AddAttachmentFile(const char* path, ULONG flags, const char* displayName, const char* contentID) {
  return AddAttachment(path, flags, nullptr, 0, displayName, contentID);
}

bool CMAPIObject::DeleteAttachment(ULONG attachNum) {
  const char* fn = "CMAPIObject::DeleteAttachment";
  NLog_TraceA("ZUV", "%s:%s: Deleting attachmemnt with attachNum %d", kFile, fn, static_cast<int>(attachNum));
  MapiPtr<IMessage> message = AsMessage();
  if (!message || !FindAttachment(message.get(), attachNum, fn)) return false;
  HRESULT hr = message->DeleteAttach(attachNum, 0, nullptr, 0);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot delete the attachment :%s", kFile, fn, zuv::LastErrorText(message.get(), hr).c_str());
    return false;
  }
  return true;
}

bool CMAPIObject::SetAttachmentProperties(ULONG attachNum, LPSPropValue props, ULONG count) {
  const char* fn = "CMAPIObject::SetAttachmentProperties";
  NLog_TraceA("ZUV", "%s:%s:Setting attachment properites for %ul", kFile, fn, attachNum);
  MapiPtr<IMessage> message = AsMessage();
  if (!message || !FindAttachment(message.get(), attachNum, fn)) return false;
  MapiPtr<IAttach> attach;
  HRESULT hr = message->OpenAttach(attachNum, nullptr, MAPI_MODIFY, attach.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot open the attachment :%s", kFile, fn, zuv::LastErrorText(message.get(), hr).c_str());
    return false;
  }
  if (FAILED(hr = attach->SetProps(count, props, nullptr))) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot set the attachment properties:%s", kFile, fn, zuv::LastErrorText(attach.get(), hr).c_str());
    return false;
  }
  if (FAILED(hr = attach->SaveChanges(0))) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot save the attachment properties:%s", kFile, fn,
                zuv::LastErrorText(attach.get(), hr).c_str());
    return false;
  }
  return true;
}
