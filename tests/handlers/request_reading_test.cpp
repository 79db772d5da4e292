// Tests of request reading: typed values, plain keys, the request lists and
// the RequestContext readers, on parsed JSON texts.
#include <climits>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "base/wire.h"
#include "handlers/request_context.h"
#include "handlers/request_reading.h"
#include "mapi/mapidefs.h"

namespace zuv {
namespace {

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}

zuv_typed_value Typed(const std::string& text, uint32_t accepted = kItemWriteKinds) {
  rapidjson::Document doc = Parse(text);
  return ReadTypedValue(doc, accepted);
}

TEST(TypedValueTest, EachAcceptedKindReadsItsForm) {
  zuv_typed_value v = Typed(R"({"Kind":3,"Value":42})");
  EXPECT_EQ(v.kind, PT_LONG);
  EXPECT_TRUE(v.has_value);
  EXPECT_EQ(v.number, 42);
  v = Typed(R"({"Kind":3,"Value":-7})");
  EXPECT_TRUE(v.has_value);
  EXPECT_EQ(v.number, -7);

  v = Typed(R"({"Kind":30,"Value":"Quarterly report"})");
  EXPECT_EQ(v.kind, PT_STRING8);
  EXPECT_TRUE(v.has_value);
  EXPECT_EQ(v.text, "Quarterly report");
  v = Typed(R"({"Kind":30,"Value":""})");
  EXPECT_TRUE(v.has_value) << "an empty string is still a value";
  EXPECT_EQ(v.text, "");

  v = Typed(R"({"Kind":11,"Value":"1"})");
  EXPECT_EQ(v.kind, PT_BOOLEAN);
  EXPECT_TRUE(v.has_value);
  EXPECT_EQ(v.number, 1);
  for (const char* text : {R"({"Kind":11,"Value":"0"})", R"({"Kind":11,"Value":"true"})",
                           R"({"Kind":11,"Value":"11"})", R"({"Kind":11,"Value":""})",
                           R"({"Kind":11,"Value":" 1"})", R"({"Kind":11,"Value":"1\u0000"})"}) {
    v = Typed(text);
    EXPECT_TRUE(v.has_value) << text;
    EXPECT_EQ(v.number, 0) << text << ": only \"1\" is true";
  }

  v = Typed(R"({"Kind":64,"Value":"30000000:1234"})");
  EXPECT_EQ(v.kind, PT_SYSTIME);
  ASSERT_TRUE(v.has_value);
  EXPECT_EQ(v.time.dwHighDateTime, 30000000u);
  EXPECT_EQ(v.time.dwLowDateTime, 1234u);
  v = Typed(R"({"Kind":64,"Value":"4294967295:0"})");
  ASSERT_TRUE(v.has_value);
  EXPECT_EQ(v.time.dwHighDateTime, 4294967295u);
  EXPECT_EQ(v.time.dwLowDateTime, 0u);
}

TEST(TypedValueTest, KindsTheRequestDoesNotAcceptStayUnset) {
  // Table reads take no booleans; attachments take no booleans or times.
  zuv_typed_value v = Typed(R"({"Kind":11,"Value":"1"})", kTableReadKinds);
  EXPECT_EQ(v.kind, PT_BOOLEAN) << "the kind is kept even when its value is not";
  EXPECT_FALSE(v.has_value);
  EXPECT_EQ(v.number, 0);
  v = Typed(R"({"Kind":64,"Value":"1:2"})", kAttachmentKinds);
  EXPECT_FALSE(v.has_value);
  EXPECT_EQ(v.time.dwHighDateTime, 0u);
  EXPECT_EQ(v.time.dwLowDateTime, 0u);
  EXPECT_TRUE(Typed(R"({"Kind":64,"Value":"1:2"})", kTableReadKinds).has_value);
  EXPECT_FALSE(Typed(R"({"Kind":3,"Value":5})", kAcceptString).has_value);
  EXPECT_FALSE(Typed(R"({"Kind":30,"Value":"x"})", kAcceptLong).has_value);

  // Kinds outside the four, and a missing kind or value.
  v = Typed(R"({"Kind":31,"Value":"text"})");
  EXPECT_EQ(v.kind, PT_UNICODE);
  EXPECT_FALSE(v.has_value);
  EXPECT_EQ(v.text, "");
  v = Typed(R"({"Value":5})");
  EXPECT_EQ(v.kind, 0u);
  EXPECT_FALSE(v.has_value);
  v = Typed(R"({"Kind":3})");
  EXPECT_EQ(v.kind, PT_LONG);
  EXPECT_FALSE(v.has_value);
  v = Typed(R"({"Kind":"3","Value":5})");
  EXPECT_EQ(v.kind, 0u) << "the kind is a number key like any other";
  EXPECT_FALSE(v.has_value);
  EXPECT_FALSE(Typed("[3,5]").has_value);
}

TEST(TypedValueTest, MalformedTimesAndMistypedValuesStayUnset) {
  for (const char* time : {"1:", ":2", "1:2:3", "-1:2", "1:-2", "4294967296:0", "0:4294967296",
                           "", ":", "12", " 1:2", "1:2 ", "+1:2", "0x1:2", "1.5:2", "a:b"}) {
    std::string text = std::string(R"({"Kind":64,"Value":")") + time + "\"}";
    zuv_typed_value v = Typed(text);
    EXPECT_FALSE(v.has_value) << '"' << time << '"';
    EXPECT_EQ(v.time.dwHighDateTime, 0u) << '"' << time << '"';
    EXPECT_EQ(v.time.dwLowDateTime, 0u) << '"' << time << '"';
  }
  // A NUL inside the text ends nothing: what follows it still counts.
  EXPECT_FALSE(Typed(R"({"Kind":64,"Value":"1:2\u00003"})").has_value);

  FILETIME ft{7, 9};
  EXPECT_FALSE(ParseFileTime("1:2:3", &ft));
  EXPECT_EQ(ft.dwLowDateTime, 7u) << "a refused text leaves the time as it was";
  EXPECT_EQ(ft.dwHighDateTime, 9u);
  ASSERT_TRUE(ParseFileTime("0:0", &ft));
  EXPECT_EQ(ft.dwLowDateTime, 0u);
  EXPECT_EQ(ft.dwHighDateTime, 0u);

  // The right kind with a value of another JSON type.
  for (const char* text :
       {R"({"Kind":3,"Value":"42"})", R"({"Kind":3,"Value":4.5})", R"({"Kind":3,"Value":4.0})",
        R"({"Kind":3,"Value":4294967300})", R"({"Kind":3,"Value":true})", R"({"Kind":3,"Value":null})",
        R"({"Kind":30,"Value":42})", R"({"Kind":30,"Value":["a"]})", R"({"Kind":30,"Value":null})",
        R"({"Kind":11,"Value":1})", R"({"Kind":11,"Value":true})",
        R"({"Kind":64,"Value":30000000})", R"({"Kind":64,"Value":{"high":1,"low":2}})"}) {
    zuv_typed_value v = Typed(text);
    EXPECT_FALSE(v.has_value) << text;
    EXPECT_EQ(v.number, 0) << text;
    EXPECT_EQ(v.text, "") << text;
  }
}

TEST(RequestKeyTest, NumbersAreJsonIntegersWithin32Bits) {
  rapidjson::Document doc = Parse(
      R"({"Four":4,"Negative":-12,"Max":2147483647,"Min":-2147483648,"Fraction":4.9,)"
      R"("Whole":4.0,"Text":"4","Mixed":"4abc","Big":4294967300,"Over":2147483648,)"
      R"("Flag":true,"Null":null,"List":[4],"Object":{"n":4}})");
  EXPECT_EQ(ReadIntKey(doc, "Four"), 4);
  EXPECT_EQ(ReadIntKey(doc, "Negative"), -12);
  EXPECT_EQ(ReadIntKey(doc, "Max"), INT32_MAX);
  EXPECT_EQ(ReadIntKey(doc, "Min"), INT32_MIN);
  for (const char* key : {"Fraction", "Whole", "Text", "Mixed", "Big", "Over", "Flag", "Null",
                          "List", "Object", "Missing", "four"}) {
    EXPECT_EQ(ReadIntKey(doc, key), 0) << key;
  }
  // Keys are members of an object; anything else has none.
  rapidjson::Document array = Parse(R"([{"Four":4}])");
  EXPECT_EQ(ReadIntKey(array, "Four"), 0);
  EXPECT_EQ(ReadStringKey(array, "Four"), "");
  EXPECT_EQ(FindArrayKey(array, "Four"), nullptr);
}

TEST(RequestKeyTest, StringsBooleansAndArraysReadOnlyTheirOwnType) {
  rapidjson::Document doc = Parse(
      R"({"Mailbox":"alice@example.com","Empty":"","Number":5,"Null":null,"Nul":"a\u0000b",)"
      R"("Yes":true,"No":false,"OneText":"1","One":1,"List":[1,"a"],"Obj":{}})");
  EXPECT_EQ(ReadStringKey(doc, "Mailbox"), "alice@example.com");
  EXPECT_EQ(ReadStringKey(doc, "mailbox"), "") << "names match exactly";
  EXPECT_EQ(ReadStringKey(doc, "Empty"), "");
  EXPECT_EQ(ReadStringKey(doc, "Missing"), "");
  EXPECT_EQ(ReadStringKey(doc, "Number"), "");
  EXPECT_EQ(ReadStringKey(doc, "Null"), "");
  EXPECT_EQ(ReadStringKey(doc, "List"), "");
  EXPECT_EQ(ReadStringKey(doc, "Nul"), std::string("a\0b", 3)) << "the whole string, NUL included";

  EXPECT_TRUE(ReadBoolKey(doc, "Yes"));
  for (const char* key : {"No", "OneText", "One", "Missing", "Null"}) {
    EXPECT_FALSE(ReadBoolKey(doc, key)) << key;
  }

  const rapidjson::Value* list = FindArrayKey(doc, "List");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Size(), 2u);
  EXPECT_EQ(FindArrayKey(doc, "Obj"), nullptr);
  EXPECT_EQ(FindArrayKey(doc, "Mailbox"), nullptr);
  EXPECT_EQ(FindArrayKey(doc, "Missing"), nullptr);
}

TEST(RequestKeyTest, FirstOccurrenceOfADuplicateKeyWins) {
  rapidjson::Document doc = Parse(
      R"({"N":1,"N":2,"S":"first","S":"second","T":"text","T":9,"B":false,"B":true,)"
      R"("A":[1],"A":[1,2],"L":[{"Key":"one"}],"L":[{"Key":"two"}]})");
  EXPECT_EQ(ReadIntKey(doc, "N"), 1);
  EXPECT_EQ(ReadStringKey(doc, "S"), "first");
  EXPECT_EQ(ReadIntKey(doc, "T"), 0) << "the first T is a string; the later number is not read";
  EXPECT_FALSE(ReadBoolKey(doc, "B"));
  ASSERT_NE(FindArrayKey(doc, "A"), nullptr);
  EXPECT_EQ(FindArrayKey(doc, "A")->Size(), 1u);

  rapidjson::Document set_data = Parse(
      R"({"SetData":[{"Key":"one","Key":"two","Value":{"Kind":3,"Value":1},"Value":{"Kind":3,"Value":2}}],)"
      R"("SetData":[{"Key":"other"}]})");
  std::vector<set_data_element> data = ReadSetData(set_data, kItemWriteKinds);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].key, "one");
  EXPECT_EQ(data[0].value.number, 1);
}

TEST(RequestListTest, SearchCriteriaInOrderWithTheirTypedValues) {
  rapidjson::Document doc = Parse(R"({"SearchCriteria":[
      {"<PropertyName>k__BackingField":"Subject","<Operator>k__BackingField":4,
       "<PropertyValue>k__BackingField":{"Kind":30,"Value":"Budget"}},
      "not an entry", 7, null, [1],
      {"<PropertyName>k__BackingField":"Size","<Operator>k__BackingField":2,
       "<PropertyValue>k__BackingField":{"Kind":3,"Value":1024}},
      {"<PropertyName>k__BackingField":"Read","<Operator>k__BackingField":4,
       "<PropertyValue>k__BackingField":{"Kind":11,"Value":"1"}},
      {"<PropertyName>k__BackingField":"Received",
       "<PropertyValue>k__BackingField":{"Kind":64,"Value":"30000000:1234"}},
      {"PropertyName":"Plain","Operator":1,"PropertyValue":{"Kind":3,"Value":1}}]})");
  std::vector<search_criteria_element> criteria = ReadSearchCriteria(doc, kTableReadKinds);
  ASSERT_EQ(criteria.size(), 5u) << "entries that are not objects are skipped";

  EXPECT_EQ(criteria[0].name, "Subject");
  EXPECT_EQ(criteria[0].op, 4);
  EXPECT_EQ(criteria[0].type, PT_STRING8);
  EXPECT_TRUE(criteria[0].value.has_value);
  EXPECT_EQ(criteria[0].value.text, "Budget");
  EXPECT_EQ(criteria[0].tag, 0u) << "tags are resolved later";

  EXPECT_EQ(criteria[1].name, "Size");
  EXPECT_EQ(criteria[1].op, 2);
  EXPECT_EQ(criteria[1].type, PT_LONG);
  EXPECT_EQ(criteria[1].value.number, 1024);

  EXPECT_EQ(criteria[2].name, "Read");
  EXPECT_EQ(criteria[2].type, PT_BOOLEAN);
  EXPECT_FALSE(criteria[2].value.has_value) << "a table read takes no booleans";

  EXPECT_EQ(criteria[3].name, "Received");
  EXPECT_EQ(criteria[3].op, 0) << "a missing operator reads as 0";
  EXPECT_EQ(criteria[3].type, PT_SYSTIME);
  ASSERT_TRUE(criteria[3].value.has_value);
  EXPECT_EQ(criteria[3].value.time.dwHighDateTime, 30000000u);
  EXPECT_EQ(criteria[3].value.time.dwLowDateTime, 1234u);

  // Keys without the backing-field form are not the criterion's keys.
  EXPECT_EQ(criteria[4].name, "");
  EXPECT_EQ(criteria[4].op, 0);
  EXPECT_EQ(criteria[4].type, 0u);
  EXPECT_FALSE(criteria[4].value.has_value);

  // The same request with booleans accepted.
  EXPECT_TRUE(ReadSearchCriteria(doc, kItemWriteKinds)[2].value.has_value);
  EXPECT_EQ(ReadSearchCriteria(doc, kItemWriteKinds)[2].value.number, 1);

  // No list, or a list of another type.
  EXPECT_TRUE(ReadSearchCriteria(Parse(R"({"Other":[]})"), kTableReadKinds).empty());
  EXPECT_TRUE(ReadSearchCriteria(Parse(R"({"SearchCriteria":{"a":1}})"), kTableReadKinds).empty());
  EXPECT_TRUE(ReadSearchCriteria(Parse(R"({"SearchCriteria":"x"})"), kTableReadKinds).empty());
}

TEST(RequestListTest, SetDataAndPropertyListInOrder) {
  rapidjson::Document doc = Parse(R"({"SetData":[
      {"Key":"Subject","Value":{"Kind":30,"Value":"Hello"}},
      {"Key":"Importance","Value":{"Kind":3,"Value":2}},
      "skipped",
      {"Key":"Flagged","Value":{"Kind":11,"Value":"1"}},
      {"Key":"Due","Value":{"Kind":64,"Value":"1:"}},
      {"Key":"NoValue"},
      {"Value":{"Kind":3,"Value":9}}]})");
  std::vector<set_data_element> data = ReadSetData(doc, kItemWriteKinds);
  ASSERT_EQ(data.size(), 6u);
  EXPECT_EQ(data[0].key, "Subject");
  EXPECT_EQ(data[0].type, PT_STRING8);
  EXPECT_EQ(data[0].value.text, "Hello");
  EXPECT_EQ(data[1].key, "Importance");
  EXPECT_EQ(data[1].type, PT_LONG);
  EXPECT_EQ(data[1].value.number, 2);
  EXPECT_EQ(data[2].key, "Flagged");
  EXPECT_TRUE(data[2].value.has_value);
  EXPECT_EQ(data[2].value.number, 1);
  EXPECT_EQ(data[3].key, "Due");
  EXPECT_EQ(data[3].type, PT_SYSTIME) << "the kind stays with a malformed time";
  EXPECT_FALSE(data[3].value.has_value);
  EXPECT_EQ(data[4].key, "NoValue");
  EXPECT_EQ(data[4].type, 0u);
  EXPECT_FALSE(data[4].value.has_value);
  EXPECT_EQ(data[5].key, "");
  EXPECT_EQ(data[5].value.number, 9);

  // Attachments accept no booleans.
  std::vector<set_data_element> attachment = ReadSetData(doc, kAttachmentKinds);
  ASSERT_EQ(attachment.size(), 6u);
  EXPECT_EQ(attachment[2].type, PT_BOOLEAN);
  EXPECT_FALSE(attachment[2].value.has_value);
  EXPECT_TRUE(attachment[0].value.has_value);

  rapidjson::Document props = Parse(R"({"PropertyList":[
      {"Name":"MyCategory","Type":30},
      12,
      {"Name":"MyCount","Type":3},
      {"Name":"Untyped"},
      {"Type":"3","Name":5},
      {"name":"lower","type":3}]})");
  std::vector<custom_property> list = ReadPropertyList(props);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].name, "MyCategory");
  EXPECT_EQ(list[0].type, PT_STRING8);
  EXPECT_EQ(list[0].tag, 0u);
  EXPECT_EQ(list[1].name, "MyCount");
  EXPECT_EQ(list[1].type, PT_LONG);
  EXPECT_EQ(list[2].name, "Untyped");
  EXPECT_EQ(list[2].type, 0u);
  EXPECT_EQ(list[3].name, "");
  EXPECT_EQ(list[3].type, 0u);
  EXPECT_EQ(list[4].name, "");

  EXPECT_TRUE(ReadSetData(Parse("{}"), kItemWriteKinds).empty());
  EXPECT_TRUE(ReadPropertyList(Parse(R"({"PropertyList":null})")).empty());
}

TEST(RequestContextTest, ReadersEntryIdsAndStringArrays) {
  rapidjson::Document doc = Parse(
      R"({"StoreEntryID":"ZUV_PF_STORE_ENTRYID","FolderEntryID":"00000000ABCD",)"
      R"("Lower":"zuv_pf_store_entryid","Longer":"ZUV_PF_STORE_ENTRYID ","Count":3,)"
      R"("Flag":true,"Names":["a",1,"b",null,"",{"c":1},["d"],"e"],"NotList":"a",)"
      R"("Rows":[1,2]})");
  ConnectionContext conn;
  RequestContext ctx(&conn, doc, RequestCode::kGetTable, ServerInfo{"EXCH1", "m@example.com", "", ""});

  EXPECT_EQ(ctx.EntryID("StoreEntryID"), "") << "the public store key stands for no entry ID";
  EXPECT_EQ(ctx.EntryID("FolderEntryID"), "00000000ABCD");
  EXPECT_EQ(ctx.EntryID("Lower"), "zuv_pf_store_entryid");
  EXPECT_EQ(ctx.EntryID("Longer"), "ZUV_PF_STORE_ENTRYID ");
  EXPECT_EQ(ctx.EntryID("Count"), "");
  EXPECT_EQ(ctx.EntryID("Missing"), "");
  EXPECT_EQ(ctx.String("StoreEntryID"), "ZUV_PF_STORE_ENTRYID") << "String leaves the key alone";

  EXPECT_EQ(ctx.StringArray("Names"), (std::vector<std::string>{"a", "b", "", "e"}));
  EXPECT_TRUE(ctx.StringArray("NotList").empty());
  EXPECT_TRUE(ctx.StringArray("Rows").empty());
  EXPECT_TRUE(ctx.StringArray("Missing").empty());

  EXPECT_EQ(ctx.Number("Count"), 3);
  EXPECT_EQ(ctx.Number("Flag"), 0);
  EXPECT_TRUE(ctx.Boolean("Flag"));
  EXPECT_FALSE(ctx.Boolean("Count"));
  ASSERT_NE(ctx.Array("Rows"), nullptr);
  EXPECT_EQ(ctx.Array("NotList"), nullptr);

  EXPECT_EQ(ctx.Code(), RequestCode::kGetTable);
  EXPECT_STREQ(ctx.Mailbox(), "m@example.com");
  EXPECT_EQ(ctx.Server().server, "EXCH1");
  EXPECT_EQ(ctx.Connection(), &conn);
}

}  // namespace
}  // namespace zuv
