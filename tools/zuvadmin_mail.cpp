// zuvadmin_mail.cpp: mail into the store: RFC 5322 messages parsed with
// GMime become IPM.Note messages (deliver), and mbox files are split into
// such messages (import-mbox) with a progress display.
//
// Each message is written by one SaveChanges, which the store commits as one
// transaction: a message that fails anywhere (parse, a property, an
// attachment, the save) is dropped whole and reported, never half-stored.
//
// The mbox file is split here rather than by GMime's mbox mode, because that
// mode cannot step past a message it fails to parse: the next call returns
// the same failure again.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>

#include "mapi/mapitags.h"
#include "zuvadmin.h"

namespace zuvadmin {
namespace {

// Tags mapitags.h does not name.
constexpr ULONG kPrSubjectPrefix = 0x003D001E;
constexpr ULONG kPrSenderAddrType = 0x0C1E001E;
constexpr ULONG kPrSentRepresentingAddrType = 0x0064001E;
constexpr ULONG kPrSentRepresentingEmail = 0x0065001E;
constexpr ULONG kPrInReplyToId = 0x1042001E;
constexpr ULONG kPrInternetReferences = 0x1039001E;
constexpr ULONG kPrAttachExtension = 0x3703001E;
constexpr LONG kEditorFormatPlain = 1, kEditorFormatHtml = 2;

// ---- GMime ----

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p != nullptr) g_object_unref(p);
  }
};
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFree>;

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Text as UTF-8: kept when it is valid UTF-8, else read as ISO-8859-1 (the
// usual charset of unlabelled 8-bit mail).
std::string ToUtf8(const char* text, size_t size) {
  if (text == nullptr) return "";
  if (g_utf8_validate(text, static_cast<gssize>(size), nullptr)) return std::string(text, size);
  GString_ converted(g_convert(text, static_cast<gssize>(size), "UTF-8", "ISO-8859-1", nullptr, nullptr, nullptr));
  return converted ? std::string(converted.get()) : std::string();
}
std::string ToUtf8(const char* text) { return text == nullptr ? "" : ToUtf8(text, std::strlen(text)); }

// Header values of In-Reply-To and References on one line.
std::string OneLine(const char* text) {
  std::string out;
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    const bool space = *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out += space ? ' ' : *p;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return ToUtf8(out.data(), out.size());
}

FILETIME FileTimeOf(GDateTime* t) {
  return FileTimeFromUnixMicros(g_date_time_to_unix(t) * 1000000 + g_date_time_get_microsecond(t));
}

// ---- A parsed message ----

struct MailAddress {
  std::string name;
  std::string address;
};

struct MailAttachment {
  std::string filename;
  std::string mime_type;
  std::string content_id;  // without angle brackets
  bool hidden = false;     // an inline image of the HTML body
  std::string data;        // decoded bytes
};

struct MailMessage {
  std::string subject;
  std::optional<MailAddress> from, sender;
  std::vector<std::pair<ULONG, MailAddress>> recipients;  // MAPI_TO, MAPI_CC, MAPI_BCC
  std::optional<FILETIME> sent;                           // the Date header
  std::string message_id, in_reply_to, references, headers;
  std::optional<std::string> body, html;
  std::vector<MailAttachment> attachments;
  LONG importance = 1;  // IMPORTANCE_NORMAL
  bool read = false;    // an mbox Status header with R
};

// What the parser reported; the first serious issue names a message GMime
// could not read.
struct ParseIssues {
  std::string first;
  bool hostile = false;  // nesting overflow or empty parts: input built to hurt parsers
};

void OnParserWarning(gint64 offset, GMimeParserWarning code, const gchar* item, gpointer data) {
  auto* issues = static_cast<ParseIssues*>(data);
  const char* what = nullptr;
  switch (code) {
    case GMIME_CRIT_INVALID_HEADER_NAME: what = "invalid header line"; break;
    case GMIME_CRIT_NESTING_OVERFLOW: what = "MIME parts nested too deeply"; issues->hostile = true; break;
    case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT: what = "a MIME part without headers or content"; issues->hostile = true; break;
    default: return;  // GMime recovers from the rest
  }
  if (!issues->first.empty()) return;
  issues->first = what;
  if (item != nullptr && *item != '\0') issues->first += std::string(" \"") + ToUtf8(item) + "\"";
  issues->first += " at byte " + std::to_string(offset);
}

void AddAddresses(InternetAddressList* list, ULONG type, std::vector<std::pair<ULONG, MailAddress>>* out) {
  if (list == nullptr) return;
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* a = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(a)) {
      AddAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), type, out);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      MailAddress m{ToUtf8(internet_address_get_name(a)),
                    ToUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)))};
      if (m.address.empty()) continue;
      if (m.name.empty()) m.name = m.address;
      out->emplace_back(type, std::move(m));
    }
  }
}

std::optional<MailAddress> FirstAddress(InternetAddressList* list) {
  std::vector<std::pair<ULONG, MailAddress>> all;
  AddAddresses(list, MAPI_ORIG, &all);
  if (all.empty()) return std::nullopt;
  return all[0].second;
}

std::string DecodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return "";
  GRef<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, mem.get());
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

// A file name for an attachment that has none: "attachment<n>" plus the
// usual extension of its type.
std::string UnnamedFile(const std::string& mime_type, size_t n) {
  std::string name = "attachment" + std::to_string(n);
  if (mime_type == "message/rfc822") return name + ".eml";
  if (mime_type == "text/plain") return name + ".txt";
  if (mime_type == "text/html") return name + ".html";
  const size_t slash = mime_type.find('/');
  if (slash != std::string::npos && mime_type.compare(0, slash, "image") == 0) return name + "." + mime_type.substr(slash + 1);
  return name + ".bin";
}

// Walks the MIME tree: the first inline text/plain and text/html leaves are
// the bodies, every other leaf and every attached message an attachment.
void Walk(GMimeObject* part, bool in_related, MailMessage* out) {
  GMimeContentType* type = g_mime_object_get_content_type(part);
  if (GMIME_IS_MULTIPART(part)) {
    const bool related = type != nullptr && g_mime_content_type_is_type(type, "multipart", "related");
    GMimeMultipart* multi = GMIME_MULTIPART(part);
    for (int i = 0; i < g_mime_multipart_get_count(multi); ++i) {
      Walk(g_mime_multipart_get_part(multi, i), in_related || related, out);
    }
    return;
  }
  MailAttachment a;
  GString_ mime(type != nullptr ? g_mime_content_type_get_mime_type(type) : g_strdup("application/octet-stream"));
  a.mime_type = ToUtf8(mime.get());
  if (GMIME_IS_MESSAGE_PART(part)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
    if (inner == nullptr) return;
    GString_ text(g_mime_object_to_string(GMIME_OBJECT(inner), nullptr));
    a.data = text ? text.get() : "";
    const char* subject = g_mime_message_get_subject(inner);
    if (subject != nullptr && *subject != '\0') a.filename = ToUtf8(subject) + ".eml";
  } else if (GMIME_IS_PART(part)) {
    GMimePart* leaf = GMIME_PART(part);
    const bool attached = g_mime_part_is_attachment(leaf);
    if (!attached && GMIME_IS_TEXT_PART(part) && type != nullptr) {
      std::optional<std::string>* body = nullptr;
      if (g_mime_content_type_is_type(type, "text", "plain")) body = &out->body;
      if (g_mime_content_type_is_type(type, "text", "html")) body = &out->html;
      if (body != nullptr && !body->has_value()) {
        GString_ text(g_mime_text_part_get_text(GMIME_TEXT_PART(part)));
        *body = ToUtf8(text.get());
        return;
      }
    }
    a.filename = ToUtf8(g_mime_part_get_filename(leaf));
    a.content_id = ToUtf8(g_mime_part_get_content_id(leaf));
    a.hidden = in_related && !attached && !a.content_id.empty();
    a.data = DecodedContent(leaf);
  } else {
    return;
  }
  if (a.filename.empty()) a.filename = UnnamedFile(a.mime_type, out->attachments.size() + 1);
  out->attachments.push_back(std::move(a));
}

// PR_IMPORTANCE from Importance (high, normal, low), else X-Priority (1-5).
LONG ImportanceOf(GMimeObject* obj) {
  const char* importance = g_mime_object_get_header(obj, "Importance");
  const char* priority = g_mime_object_get_header(obj, "X-Priority");
  std::string text = OneLine(importance != nullptr ? importance : "");
  if (!text.empty()) return g_ascii_strcasecmp(text.c_str(), "high") == 0 ? 2 : g_ascii_strcasecmp(text.c_str(), "low") == 0 ? 0 : 1;
  text = OneLine(priority != nullptr ? priority : "");
  if (!text.empty() && text[0] >= '1' && text[0] <= '5') return text[0] <= '2' ? 2 : text[0] >= '4' ? 0 : 1;
  return 1;
}

// Parses one RFC 5322 message. False with *reason for input that is not a
// mail message.
bool ParseMail(std::string_view bytes, MailMessage* out, std::string* reason) {
  InitGMime();
  if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    *reason = "empty message";
    return false;
  }
  ParseIssues issues;
  GMimeParserOptions* options = g_mime_parser_options_new();
  g_mime_parser_options_set_warning_callback(options, OnParserWarning, &issues);
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GRef<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
  g_mime_parser_options_free(options);
  if (!message || issues.hostile) {
    *reason = "not a mail message: " + (issues.first.empty() ? std::string("no header fields") : issues.first);
    return false;
  }
  // Any header block makes a message (a MIME-only one included); the parser
  // has already refused lines that are no header fields.
  // Content-* fields live on the body part, the others on the message.
  GMimeObject* obj = GMIME_OBJECT(message.get());
  int fields = 0;
  for (GMimeObject* holder : {obj, g_mime_message_get_mime_part(message.get())}) {
    GMimeHeaderList* list = holder != nullptr ? g_mime_object_get_header_list(holder) : nullptr;
    if (list != nullptr) fields += g_mime_header_list_get_count(list);
  }
  if (fields == 0) {
    *reason = "not a mail message: it does not begin with a header block";
    return false;
  }

  out->subject = ToUtf8(g_mime_message_get_subject(message.get()));
  out->from = FirstAddress(g_mime_message_get_from(message.get()));
  out->sender = FirstAddress(g_mime_message_get_sender(message.get()));
  AddAddresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO), MAPI_TO, &out->recipients);
  AddAddresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_CC), MAPI_CC, &out->recipients);
  AddAddresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_BCC), MAPI_BCC, &out->recipients);
  if (GDateTime* date = g_mime_message_get_date(message.get())) out->sent = FileTimeOf(date);
  if (const char* id = g_mime_message_get_message_id(message.get())) out->message_id = "<" + ToUtf8(id) + ">";
  out->in_reply_to = OneLine(g_mime_object_get_header(obj, "In-Reply-To"));
  out->references = OneLine(g_mime_object_get_header(obj, "References"));
  GString_ headers(g_mime_object_get_headers(obj, nullptr));
  out->headers = ToUtf8(headers.get());
  out->importance = ImportanceOf(obj);
  const char* status = g_mime_object_get_header(obj, "Status");
  out->read = status != nullptr && std::strchr(status, 'R') != nullptr;
  if (GMimeObject* body = g_mime_message_get_mime_part(message.get())) Walk(body, false, out);
  return true;
}

// ---- Writing into the store ----

SPropValue Str(ULONG tag, const std::string& value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(value.c_str());
  return v;
}
SPropValue Long(ULONG tag, LONG value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.l = value;
  return v;
}
SPropValue Time(ULONG tag, const FILETIME& value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.ft = value;
  return v;
}
SPropValue Bool(ULONG tag, bool value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.b = value ? 1 : 0;
  return v;
}

HRESULT SetAll(IMAPIProp* obj, std::vector<SPropValue>& props, std::string* err) {
  MapiBuffer<SPropProblemArray> problems;
  HRESULT hr = obj->SetProps(static_cast<ULONG>(props.size()), props.data(), problems.put());
  if (SUCCEEDED(hr) && problems && problems->cProblem > 0) hr = problems->aProblem[0].scode;
  if (FAILED(hr)) *err = "cannot set its properties: " + MapiErrorText(obj, hr);
  return hr;
}

// Writes data through a stream on obj's property tag (created empty first).
HRESULT WriteStream(IMAPIProp* obj, ULONG tag, std::string_view data, std::string* err) {
  MapiPtr<IUnknown> unk;
  HRESULT hr = obj->OpenProperty(tag, &IID_IStream, STGM_CREATE | STGM_WRITE, MAPI_CREATE | MAPI_MODIFY, unk.put());
  auto* stream = static_cast<IStream*>(unk.get());
  constexpr size_t kChunk = 64 * 1024;
  for (size_t pos = 0; SUCCEEDED(hr) && pos < data.size(); pos += kChunk) {
    const ULONG n = static_cast<ULONG>(std::min(kChunk, data.size() - pos));
    hr = stream->Write(data.data() + pos, n, nullptr);
  }
  if (SUCCEEDED(hr)) hr = stream->Commit(0);
  if (FAILED(hr)) *err = "cannot write its data: " + MapiErrorText(obj, hr);
  return hr;
}

// The HTML body as RTF with the HTML encapsulated, for stores without
// STORE_HTML_OK. Braces and backslashes are RTF syntax and get escaped.
HRESULT WriteHtmlAsRtf(IMessage* msg, const std::string& html, std::string* err) {
  std::string rtf = "{\\rtf1\\ansi\\ansicpg65001\\fromhtml1 {\\*\\htmltag1 ";
  for (char c : html) {
    if (c == '\\' || c == '{' || c == '}') rtf += '\\';
    rtf += c;
  }
  rtf += " }}";
  MapiPtr<IUnknown> unk;
  HRESULT hr = msg->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_CREATE | STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                 unk.put());
  MapiPtr<IStream> plain;
  if (SUCCEEDED(hr)) hr = WrapCompressedRTFStream(static_cast<IStream*>(unk.get()), MAPI_MODIFY, plain.put());
  if (SUCCEEDED(hr)) hr = plain->Write(rtf.data(), static_cast<ULONG>(rtf.size()), nullptr);
  if (SUCCEEDED(hr)) hr = plain->Commit(0);
  if (SUCCEEDED(hr)) hr = static_cast<IStream*>(unk.get())->Commit(0);
  if (FAILED(hr)) *err = "cannot write its RTF body: " + MapiErrorText(msg, hr);
  return hr;
}

// Splits "RE: topic" into the prefix "RE: " and the topic, as MAPI does for
// a prefix of up to three letters.
std::pair<std::string, std::string> SplitSubject(const std::string& subject) {
  const size_t colon = subject.find(':');
  if (colon >= 1 && colon <= 3 && colon + 1 < subject.size() && subject[colon + 1] == ' ') {
    bool letters = true;
    for (size_t i = 0; i < colon; ++i) letters = letters && g_ascii_isalpha(subject[i]);
    if (letters) return {subject.substr(0, colon + 2), subject.substr(colon + 2)};
  }
  return {"", subject};
}

HRESULT AddRecipients(IMessage* msg, const MailMessage& m, std::string* err) {
  if (m.recipients.empty()) return S_OK;
  LPADRLIST list = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(m.recipients.size())), reinterpret_cast<void**>(&list)) != S_OK) {
    *err = "out of memory";
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  list->cEntries = 0;
  static const std::string kSmtp = "SMTP";
  HRESULT hr = S_OK;
  for (const auto& [type, address] : m.recipients) {
    ADRENTRY& e = list->aEntries[list->cEntries];
    e = ADRENTRY{};
    constexpr ULONG kCount = 5;
    if (MAPIAllocateBuffer(kCount * sizeof(SPropValue), reinterpret_cast<void**>(&e.lpProps)) != S_OK) {
      hr = MAPI_E_NOT_ENOUGH_MEMORY;
      break;
    }
    ++list->cEntries;
    e.cValues = kCount;
    e.lpProps[0] = Str(PR_DISPLAY_NAME, address.name);
    e.lpProps[1] = Str(PR_EMAIL_ADDRESS, address.address);
    e.lpProps[2] = Str(PR_ADDRTYPE, kSmtp);
    e.lpProps[3] = Str(PR_SMTP_ADDRESS, address.address);
    e.lpProps[4] = Long(PR_RECIPIENT_TYPE, static_cast<LONG>(type));
  }
  if (SUCCEEDED(hr)) hr = msg->ModifyRecipients(MODRECIP_ADD, list);
  FreePadrlist(list);
  if (FAILED(hr)) *err = "cannot add its recipients: " + MapiErrorText(msg, hr);
  return hr;
}

HRESULT AddAttachment(IMessage* msg, const MailAttachment& a, std::string* err) {
  MapiPtr<IAttach> att;
  ULONG num = 0;
  HRESULT hr = msg->CreateAttach(nullptr, 0, &num, att.put());
  if (FAILED(hr)) {
    *err = "cannot add attachment " + a.filename + ": " + MapiErrorText(msg, hr);
    return hr;
  }
  const size_t dot = a.filename.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : a.filename.substr(dot);
  std::vector<SPropValue> props = {Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),  Str(PR_ATTACH_LONG_FILENAME, a.filename),
                                   Str(PR_ATTACH_FILENAME, a.filename),      Str(PR_DISPLAY_NAME, a.filename),
                                   Str(PR_ATTACH_MIME_TAG, a.mime_type),     Long(PR_RENDERING_POSITION, -1)};
  if (!extension.empty()) props.push_back(Str(kPrAttachExtension, extension));
  if (!a.content_id.empty()) props.push_back(Str(PR_ATTACH_CONTENT_ID, a.content_id));
  if (a.hidden) props.push_back(Bool(PR_ATTACHMENT_HIDDEN, true));
  if (FAILED(hr = SetAll(att.get(), props, err)) || FAILED(hr = WriteStream(att.get(), PR_ATTACH_DATA_BIN, a.data, err))) {
    *err = "attachment " + a.filename + ": " + *err;
    return hr;
  }
  hr = att->SaveChanges(KEEP_OPEN_READWRITE);
  if (FAILED(hr)) *err = "cannot save attachment " + a.filename + ": " + MapiErrorText(att.get(), hr);
  return hr;
}

// Where messages go: a folder and whether its store keeps HTML bodies.
struct Target {
  MapiPtr<IMAPIFolder> folder;
  bool html_ok = true;
};

// Stores m as a new IPM.Note in the target folder. On success *entry_id is
// its entry ID; on failure nothing is stored and *err says why.
bool WriteMail(const Target& target, const MailMessage& m, const FILETIME& delivered, std::string* entry_id,
               std::string* err) {
  MapiPtr<IMessage> msg;
  HRESULT hr = target.folder->CreateMessage(nullptr, 0, msg.put());
  if (FAILED(hr)) {
    *err = "cannot create a message: " + MapiErrorText(target.folder.get(), hr);
    return false;
  }
  static const std::string kNote = "IPM.Note", kSmtp = "SMTP";
  const auto [prefix, topic] = SplitSubject(m.subject);
  std::vector<SPropValue> props = {
      Str(PR_MESSAGE_CLASS, kNote),      Str(PR_SUBJECT, m.subject),
      Str(kPrSubjectPrefix, prefix),     Str(PR_NORMALIZED_SUBJECT, topic),
      Str(PR_CONVERSATION_TOPIC, topic), Time(PR_MESSAGE_DELIVERY_TIME, delivered),
      Long(PR_IMPORTANCE, m.importance), Long(PR_MESSAGE_FLAGS, m.read ? MSGFLAG_READ : 0),
      Long(PR_MSG_EDITOR_FORMAT, m.html ? kEditorFormatHtml : kEditorFormatPlain)};
  // Sender is who sent it, sent-representing whom it is from; From alone
  // names both.
  const std::optional<MailAddress>& sender = m.sender ? m.sender : m.from;
  const std::optional<MailAddress>& from = m.from ? m.from : m.sender;
  if (sender) {
    props.insert(props.end(), {Str(PR_SENDER_NAME, sender->name), Str(PR_SENDER_EMAIL_ADDRESS, sender->address),
                               Str(kPrSenderAddrType, kSmtp)});
  }
  if (from) {
    props.insert(props.end(), {Str(PR_SENT_REPRESENTING_NAME, from->name), Str(kPrSentRepresentingEmail, from->address),
                               Str(kPrSentRepresentingAddrType, kSmtp)});
  }
  if (m.sent) props.push_back(Time(PR_CLIENT_SUBMIT_TIME, *m.sent));
  if (!m.message_id.empty()) props.push_back(Str(PR_INTERNET_MESSAGE_ID, m.message_id));
  if (!m.in_reply_to.empty()) props.push_back(Str(kPrInReplyToId, m.in_reply_to));
  if (!m.references.empty()) props.push_back(Str(kPrInternetReferences, m.references));
  if (!m.headers.empty()) props.push_back(Str(PR_TRANSPORT_MESSAGE_HEADERS, m.headers));
  if (m.body) props.push_back(Str(PR_BODY, *m.body));
  if (m.html && target.html_ok) props.push_back(Str(PR_BODY_HTML, *m.html));

  if (FAILED(SetAll(msg.get(), props, err))) return false;
  if (m.html && !target.html_ok && FAILED(WriteHtmlAsRtf(msg.get(), *m.html, err))) return false;
  if (FAILED(AddRecipients(msg.get(), m, err))) return false;
  for (const MailAttachment& a : m.attachments) {
    if (FAILED(AddAttachment(msg.get(), a, err))) return false;
  }
  hr = msg->SaveChanges(KEEP_OPEN_READONLY);
  if (FAILED(hr)) {
    *err = "cannot save the message: " + MapiErrorText(msg.get(), hr);
    return false;
  }
  *entry_id = EntryIdOf(msg.get());
  return true;
}

// Opens the folder messages go to; prints why and returns false on failure.
bool OpenTarget(const Context& ctx, const std::string& alias, const std::string& folder, Target* target) {
  if (FAILED(OpenFolder(ctx, alias, false, folder, &target->folder))) return false;
  auto tags = MakePropTags(PR_STORE_ENTRYID);
  ULONG n = 0;
  MapiBuffer<SPropValue> id;
  MapiPtr<IUnknown> store;
  ULONG type = 0;
  HRESULT hr = target->folder->GetProps(tags.get(), 0, &n, id.put());
  if (SUCCEEDED(hr) && PROP_TYPE(id[0].ulPropTag) == PT_BINARY) {
    hr = target->folder->OpenEntry(id[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(id[0].Value.bin.lpb), nullptr, 0,
                                   &type, store.put());
  }
  if (FAILED(hr) || type != MAPI_STORE) {
    Fail("cannot open the store of mailbox " + alias);
    return false;
  }
  auto mask_tag = MakePropTags(PR_STORE_SUPPORT_MASK);
  MapiBuffer<SPropValue> mask;
  hr = static_cast<IMsgStore*>(store.get())->GetProps(mask_tag.get(), 0, &n, mask.put());
  target->html_ok = FAILED(hr) || PROP_TYPE(mask[0].ulPropTag) != PT_LONG || (mask[0].Value.l & STORE_HTML_OK) != 0;
  return true;
}

bool ReadAll(const std::string& file, std::string* out, std::string* err) {
  if (file == "-") {
    out->assign(std::istreambuf_iterator<char>(std::cin), {});
    if (std::cin.bad()) return *err = "cannot read standard input", false;
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return *err = "cannot read " + file + ": " + std::strerror(errno), false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return *err = "cannot read " + file + ": " + std::strerror(errno), false;
  *out = std::move(buffer).str();
  return true;
}

// ---- mbox ----

// The messages of an mbox file in memory. A message starts with a "From "
// line at the start of the file or after a blank line; its text runs to the
// blank line before the next one. Body lines ">From ", ">>From ", ... lose
// one '>' (mboxrd quoting).
class MboxReader {
 public:
  MboxReader(const char* data, size_t size) : data_(data), size_(size) {}

  struct Entry {
    size_t offset = 0;          // of the "From " line
    size_t end = 0;             // offset after the message
    std::string_view from_line; // without "From " and the line end
    std::string text;           // the message, unquoted
  };

  bool Next(Entry* e) {
    if (pos_ >= size_) return false;
    e->offset = pos_;
    const char* line_end = static_cast<const char*>(std::memchr(data_ + pos_, '\n', size_ - pos_));
    const size_t body = line_end == nullptr ? size_ : line_end - data_ + 1;
    e->from_line = std::string_view(data_ + pos_ + 5, body - pos_ - 5);
    while (!e->from_line.empty() && (e->from_line.back() == '\n' || e->from_line.back() == '\r')) {
      e->from_line.remove_suffix(1);
    }
    const size_t next = NextSeparator(body);
    e->end = next;
    // The message ends before the blank line that precedes the next "From ".
    size_t stop = next;
    if (next < size_) {
      stop = next - 1;
      if (stop > body && data_[stop - 1] == '\r') --stop;
    }
    Unquote(body, std::max(stop, body), &e->text);
    pos_ = next;
    return true;
  }

 private:
  bool BlankLineBefore(size_t line) const {
    if (line < 1 || data_[line - 1] != '\n') return false;
    return line == 1 || data_[line - 2] == '\n' || (data_[line - 2] == '\r' && (line == 2 || data_[line - 3] == '\n'));
  }

  // Offset of the next separator "From " line at or after from, or size_.
  size_t NextSeparator(size_t from) const {
    for (size_t at = from; at + 5 <= size_;) {
      const void* hit = memmem(data_ + at, size_ - at, "\nFrom ", 6);
      if (hit == nullptr) break;
      const size_t line = static_cast<const char*>(hit) - data_ + 1;
      if (BlankLineBefore(line)) return line;
      at = line;
    }
    return size_;
  }

  void Unquote(size_t begin, size_t end, std::string* out) const {
    out->clear();
    out->reserve(end - begin);
    for (size_t line = begin; line < end;) {
      const char* nl = static_cast<const char*>(std::memchr(data_ + line, '\n', end - line));
      const size_t line_end = nl == nullptr ? end : nl - data_ + 1;
      size_t quotes = 0;
      while (line + quotes < line_end && data_[line + quotes] == '>') ++quotes;
      const bool quoted = quotes > 0 && line_end - line - quotes >= 5 &&
                          std::memcmp(data_ + line + quotes, "From ", 5) == 0;
      out->append(data_ + line + (quoted ? 1 : 0), line_end - line - (quoted ? 1 : 0));
      line = line_end;
    }
  }

  const char* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The date of a "From sender date" line, when it has one.
std::optional<FILETIME> FromLineDate(std::string_view from_line) {
  const size_t space = from_line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string date(from_line.substr(space + 1));
  GDateTime* t = g_mime_utils_header_decode_date(date.c_str());
  if (t == nullptr) return std::nullopt;
  FILETIME ft = FileTimeOf(t);
  g_date_time_unref(t);
  return ft;
}

// A read-only memory map of a file.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) munmap(data_, size_);
  }

  bool Open(const std::string& path, std::string* err) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      *err = "cannot read " + path + ": " + (fd >= 0 && !S_ISREG(st.st_mode) ? "not a regular file" : std::strerror(errno));
      if (fd >= 0) close(fd);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        *err = "cannot read " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
      }
      data_ = static_cast<char*>(p);
      madvise(data_, size_, MADV_SEQUENTIAL);
    }
    close(fd);
    return true;
  }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Progress of an import on stderr: a bar redrawn in place on a terminal,
// else a count line every kLineEvery messages.
class Progress {
 public:
  static constexpr size_t kLineEvery = 1000;

  Progress(size_t total_bytes, bool terminal)
      : total_(total_bytes), terminal_(terminal), start_(std::chrono::steady_clock::now()) {}

  void Update(size_t bytes, size_t messages) {
    if (!terminal_) {
      if (messages % kLineEvery == 0) std::fprintf(stderr, "import-mbox: %zu messages (%d%%)\n", messages, Percent(bytes));
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - drawn_ < std::chrono::milliseconds(100)) return;  // redraws, not work, are limited
    drawn_ = now;
    Draw(bytes, messages);
  }

  void Finish(size_t bytes, size_t messages) {
    if (!terminal_) return;
    Draw(bytes, messages);
    std::fputc('\n', stderr);
  }

 private:
  int Percent(size_t bytes) const { return total_ == 0 ? 100 : static_cast<int>(bytes * 100 / total_); }

  void Draw(size_t bytes, size_t messages) {
    constexpr int kWidth = 30;
    const int filled = Percent(bytes) * kWidth / 100;
    const double seconds =
        std::max(1e-3, std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    std::fprintf(stderr, "\r[%.*s%.*s] %3d%%  %zu messages  %.1f MB/s ", filled, "##############################",
                 kWidth - filled, "------------------------------", Percent(bytes), messages,
                 static_cast<double>(bytes) / 1e6 / seconds);
    std::fflush(stderr);
  }

  const size_t total_;
  const bool terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace

// ---- Commands ----

int Deliver(const Context& ctx, const DeliverArgs& args) {
  Target target;
  if (!OpenTarget(ctx, args.alias, args.folder, &target)) return kExitFailure;
  int skipped = 0;
  for (const std::string& file : args.files) {
    std::string bytes, err, entry_id;
    MailMessage mail;
    const bool ok = ReadAll(file, &bytes, &err) && ParseMail(bytes, &mail, &err) &&
                    WriteMail(target, mail, FileTimeNow(), &entry_id, &err);
    if (!ok) {
      ++skipped;
      Warn(file + ": skipped: " + err);
      if (ctx.json) JsonLine().Str("file", file).Str("skipped", err).Print();
    } else if (ctx.json) {
      JsonLine().Str("file", file).Str("entry_id", entry_id).Print();
    } else {
      std::puts(entry_id.c_str());
    }
  }
  return skipped > 0 ? kExitPartial : kExitOk;
}

// Messages imported per transaction.
constexpr size_t kBatchMessages = 1000;

int ImportMbox(const Context& ctx, const ImportMboxArgs& args) {
  MappedFile file;
  std::string err;
  if (!file.Open(args.file, &err)) return Fail(err);
  if (file.size() > 0 && (file.size() < 5 || std::memcmp(file.data(), "From ", 5) != 0)) {
    return Fail(args.file + " is not an mbox file: it does not start with a \"From \" line");
  }
  Target target;
  if (!OpenTarget(ctx, args.alias, args.folder, &target)) return kExitFailure;

  struct Skip {
    size_t number;
    size_t offset;
    std::string reason;
  };
  std::vector<Skip> skips;
  size_t imported = 0, number = 0;
  Progress progress(file.size(), isatty(STDERR_FILENO) == 1);
  MboxReader reader(file.data(), file.size());
  MboxReader::Entry entry;
  // One transaction per kBatchMessages messages: a reader sees none of a
  // batch or all of it, and a message that fails undoes only itself.
  bool more = true;
  while (more) {
    std::string batch_err;
    HRESULT hr = ctx.admin->Batch(
        [&]() -> HRESULT {
          for (size_t in_batch = 0; in_batch < kBatchMessages; ++in_batch) {
            if (!reader.Next(&entry)) {
              more = false;
              break;
            }
            ++number;
            MailMessage mail;
            std::string entry_id;
            bool stored = ParseMail(entry.text, &mail, &err);
            if (stored) {
              // Delivered when the mbox says, else when it was sent, else now.
              std::optional<FILETIME> delivered = FromLineDate(entry.from_line);
              if (!delivered) delivered = mail.sent;
              stored = WriteMail(target, mail, delivered ? *delivered : FileTimeNow(), &entry_id, &err);
            }
            if (stored) {
              ++imported;
            } else {
              Warn("message " + std::to_string(number) + " (byte " + std::to_string(entry.offset) +
                   ") skipped: " + err);
              skips.push_back({number, entry.offset, err});
            }
            progress.Update(entry.end, number);
          }
          return S_OK;
        },
        &batch_err);
    if (FAILED(hr)) return Fail("cannot commit the imported messages: " + batch_err);
  }
  progress.Finish(file.size(), number);

  if (ctx.json) {
    JsonLine line;
    line.Int("imported", static_cast<int64_t>(imported)).Int("skipped", static_cast<int64_t>(skips.size()));
    auto& w = line.writer();
    w.Key("skips");
    w.StartArray();
    for (const Skip& s : skips) {
      w.StartObject();
      w.Key("message");
      w.Uint64(s.number);
      w.Key("offset");
      w.Uint64(s.offset);
      w.Key("reason");
      w.String(s.reason.c_str());
      w.EndObject();
    }
    w.EndArray();
    line.Print();
  } else {
    std::printf("imported %zu, skipped %zu\n", imported, skips.size());
  }
  return skips.empty() ? kExitOk : kExitPartial;
}

}  // namespace zuvadmin
