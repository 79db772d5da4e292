// mapimessage.h: CMAPIMessage (drafts, recipients, submission), CMAPIContact
// (an "IPM.Contact" item and its fields) and CContactAddress (a postal
// address record).
//
// Ownership and threading as for CMAPIObject (mapiobject.h): one thread at a
// time; the module must outlive the object. A message does not keep the
// folder it was created in.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mapi_access/mapiobject.h"

class CMAPIMessage : public CMAPIObject {
 public:
  // Open of CMAPIObject, failing (closed) when the item is not a message.
  bool Open(CMapiExMod* module, const SBinary& entryID) override;

  // A new message in folder (the module's Outbox, opened for this call,
  // when null), flagged unsent and from me, kept in Sent Items after
  // sending (saveToSent) or deleted after submission. importance other than
  // 1 (normal) is written to PR_IMPORTANCE.
  bool Create(CMapiExMod* module, ULONG importance, bool saveToSent, CMAPIFolder* folder = nullptr);
  // Resolves address in the session's address book and adds it with type
  // (MAPI_TO, MAPI_CC, MAPI_BCC); addressType, when given, is PR_ADDRTYPE_A.
  bool AddRecipient(const char* address, ULONG type, const char* addressType = nullptr);
  bool SetSubject(const char* text);
  // PR_READ_RECEIPT_REQUESTED; the receipt goes to the sender.
  bool SetReadReceipt(bool flag);
  // As above; a non-empty address is kept as the receipt's SMTP address
  // (PR_READ_RECEIPT_SMTP_ADDRESS).
  bool SetReadReceipt(bool flag, const char* address);
  // SubmitMessage(0). The message is not usable for writes afterwards.
  bool Send();

  // One row of the recipient table.
  struct Recipient_s {
    ULONG type = 0;             // MAPI_TO, MAPI_CC, MAPI_BCC
    std::string displayName;
    std::string address;        // PR_SMTP_ADDRESS_A, else PR_EMAIL_ADDRESS_A
    bool responsibility = false;  // PR_RESPONSIBILITY: already delivered
    bool directoryEntry = false;  // resolved to a mailbox of the directory (has PR_ACCOUNT_A)
  };
  // The recipients in table order. False when the table cannot be read.
  bool GetRecipients(std::vector<Recipient_s>* recipients);
  // The attachments in table order as (PR_ATTACH_NUM, file name). False
  // when the table cannot be read.
  bool GetAttachments(std::vector<std::pair<ULONG, std::string>>* attachments);
};

// A postal address; Format gives the text of the address properties.
class CContactAddress {
 public:
  std::string street;
  std::string city;
  std::string state;
  std::string postalCode;
  std::string country;

  // "%s\r\n%s  %s  %s\r\n%s": street, city, state, postal code, country.
  std::string Format() const;
};

class CMAPIContact : public CMAPIMessage {
 public:
  enum class AddressKind { kBusiness, kHome, kOther };

  // A new "IPM.Contact" in folder (the module's Contacts folder, opened for
  // this call, when null), importance normal, sensitivity none.
  bool Create(CMapiExMod* module, CMAPIFolder* folder = nullptr);

  // One of PR_DISPLAY_NAME_A, PR_GIVEN_NAME_A, PR_MIDDLE_NAME_A,
  // PR_SURNAME_A; any other tag gives false.
  bool SetName(const char* text, ULONG tag);
  bool GetName(std::string* text, ULONG tag);
  bool SetHomePage(const char* url, bool business);
  // The body (PR_BODY_A as a stream) and its RTF form.
  bool SetNotes(const char* text);
  // File-as: LID 0x8005 of PSETID_Address, created when missing.
  bool SetFileAs(const char* text);
  bool GetFileAs(std::string* text);

  // One string property each.
  bool SetPostalAddress(const char* text) { return SetPropertyString(0x3A15001E, text, false); }
  bool SetTitle(const char* text) { return SetPropertyString(0x3A17001E, text, false); }
  bool SetCompany(const char* text) { return SetPropertyString(0x3A16001E, text, false); }
  bool SetProfession(const char* text) { return SetPropertyString(0x3A46001E, text, false); }
  bool SetDisplayNamePrefix(const char* text) { return SetPropertyString(0x3A45001E, text, false); }
  bool SetGeneration(const char* text) { return SetPropertyString(0x3A05001E, text, false); }
  bool SetDepartment(const char* text) { return SetPropertyString(0x3A18001E, text, false); }
  bool SetOfficeLocation(const char* text) { return SetPropertyString(0x3A19001E, text, false); }
  bool SetManagerName(const char* text) { return SetPropertyString(0x3A4E001E, text, false); }
  bool SetAssistant(const char* text) { return SetPropertyString(0x3A30001E, text, false); }
  bool SetNickname(const char* text) { return SetPropertyString(0x3A4F001E, text, false); }
  bool SetSpouseName(const char* text) { return SetPropertyString(0x3A48001E, text, false); }

  // Dates as "MM/dd/yyyy" in local time, stored as UTC FILETIME.
  bool SetBirthday(const char* date) { return SetDate(0x3A420040, date); }
  bool GetBirthday(std::string* date) { return GetDate(0x3A420040, date); }
  bool SetAnniversary(const char* date) { return SetDate(0x3A410040, date); }
  bool GetAnniversary(std::string* date) { return GetDate(0x3A410040, date); }

  // E-mail entry index 1..3 (PSETID_Address Email1/2/3), address type SMTP.
  bool SetEmail(int index, const char* address, const char* displayName);
  bool GetEmail(int index, std::string* address);
  // A telephone property (e.g. PR_BUSINESS_TELEPHONE_NUMBER 0x3A08001E) as
  // "(%s) %s" from area code and number.
  bool SetPhoneNumber(ULONG tag, const char* areaCode, const char* number);
  // The five address fields of kind and its formatted text.
  bool SetAddress(AddressKind kind, const CContactAddress& address);
  // The "Keywords" property of PS_PUBLIC_STRINGS.
  bool SetCategories(const std::vector<std::string>& categories);
  bool GetCategories(std::vector<std::string>* categories);
  // Adds the picture file with content ID "ContactPicture.jpg" and marks the
  // contact as having one.
  bool SetPicture(const char* path);

 private:
  bool SetDate(ULONG tag, const char* date);
  bool GetDate(ULONG tag, std::string* date);
};
