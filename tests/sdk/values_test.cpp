// Decoding table answers and typing values by their column.
#include <gtest/gtest.h>

#include "zuvsdk/values.h"

namespace {

using zuvsdk::TableAnswer;
using zuvsdk::TypedValue;
using zuvsdk::Value;

TEST(ValuesTest, TableAnswerRowsAreDecodedWithTypesFromMemberNames) {
  const char* json =
      R"({"ErrorNumber":0,"ErrorString":"","DataType":501,"ClientIdentifier":"c1","ROWS":[)"
      R"({"AB01":[{"PR_LONGTERM_ENTRYID_FROM_TABLE":"AB01"},{"PR_SUBJECT-30":"Hi-there"},)"
      R"({"PR_MESSAGE_SIZE-3":42},{"PR_HASATTACH-11":true},{"3604510-30":"x"}]},{"CD02":[]}]})";
  TableAnswer answer;
  std::string err;
  ASSERT_EQ(zuvsdk::DecodeTableAnswer(json, &answer, &err), 0) << err;
  EXPECT_EQ(answer.data_type, 501);
  EXPECT_EQ(answer.client_id, "c1");
  ASSERT_EQ(answer.rows.size(), 2u);
  const zuvsdk::Row& row = answer.rows[0];
  EXPECT_EQ(row.key, "AB01");
  ASSERT_NE(row.Find("PR_SUBJECT"), nullptr);
  EXPECT_EQ(row.Find("PR_SUBJECT")->type, 30);
  EXPECT_EQ(row.Find("PR_SUBJECT")->value.text, "Hi-there");
  EXPECT_EQ(row.Find("PR_MESSAGE_SIZE")->value.number, 42);
  EXPECT_EQ(row.Find("PR_HASATTACH")->value.ToText(), "true");
  EXPECT_EQ(row.Find("PR_LONGTERM_ENTRYID_FROM_TABLE")->type, -1);
  EXPECT_EQ(row.Find("3604510")->type, 30);
  EXPECT_TRUE(answer.rows[1].props.empty());
}

TEST(ValuesTest, DeletePushCarriesTheKeyAsAString) {
  TableAnswer answer;
  std::string err;
  ASSERT_EQ(zuvsdk::DecodeTableAnswer(R"({"ErrorNumber":0,"ErrorString":"","DataType":503,"ROWS":"AB01"})", &answer,
                                      &err),
            0);
  EXPECT_EQ(answer.data_type, 503);
  EXPECT_EQ(answer.deleted_key, "AB01");
  EXPECT_TRUE(answer.rows.empty());
}

TEST(ValuesTest, ErrorAnswersAndWrongShapes) {
  TableAnswer answer;
  std::string err;
  ASSERT_EQ(zuvsdk::DecodeTableAnswer(R"({"ErrorNumber":1,"ErrorString":"Cannot open folder"})", &answer, &err), 0);
  EXPECT_EQ(answer.error_number, 1);
  EXPECT_EQ(answer.error_string, "Cannot open folder");
  EXPECT_NE(zuvsdk::DecodeTableAnswer("[1,2]", &answer, &err), 0);
  EXPECT_NE(zuvsdk::DecodeTableAnswer("{\"ROWS\":[1]}", &answer, &err), 0);
  EXPECT_NE(zuvsdk::DecodeTableAnswer("{\"ROWS\":5}", &answer, &err), 0);
  EXPECT_NE(zuvsdk::DecodeTableAnswer("not json", &answer, &err), 0);
}

TEST(ValuesTest, ColumnTypesComeFromSuffixTagOrKnownName) {
  int type = 0;
  std::string err;
  EXPECT_EQ(zuvsdk::PropertyTypeOf("ProjectCode-3", &type, &err), 0);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(zuvsdk::PropertyTypeOf("0x0037001E", &type, &err), 0);
  EXPECT_EQ(type, 30);
  EXPECT_EQ(zuvsdk::PropertyTypeOf("PR_MESSAGE_DELIVERY_TIME", &type, &err), 0);
  EXPECT_EQ(type, 64);
  EXPECT_EQ(zuvsdk::PropertyTypeOf("PR_SUBJECT_A", &type, &err), 0);
  EXPECT_EQ(type, 30);
  EXPECT_NE(zuvsdk::PropertyTypeOf("MyOwnThing", &type, &err), 0);
  EXPECT_NE(err.find("MyOwnThing"), std::string::npos);
  EXPECT_EQ(zuvsdk::BareName("ProjectCode-3"), "ProjectCode");
  EXPECT_EQ(zuvsdk::BareName("Cost-Centre"), "Cost-Centre");
}

TEST(ValuesTest, AssignmentsAreTypedByTheirColumn) {
  std::string name, err;
  TypedValue v;
  ASSERT_EQ(zuvsdk::ParseAssignment("PR_IMPORTANCE=2", &name, &v, &err), 0);
  EXPECT_EQ(name, "PR_IMPORTANCE");
  EXPECT_EQ(v.kind, 3);
  EXPECT_EQ(v.number, 2);
  ASSERT_EQ(zuvsdk::ParseAssignment("PR_SUBJECT=a=b", &name, &v, &err), 0);
  EXPECT_EQ(v.text, "a=b");
  ASSERT_EQ(zuvsdk::ParseAssignment("Flag-11=yes", &name, &v, &err), 0);
  EXPECT_EQ(name, "Flag");
  EXPECT_EQ(v.text, "1");
  EXPECT_NE(zuvsdk::ParseAssignment("PR_IMPORTANCE=high", &name, &v, &err), 0);
  EXPECT_NE(zuvsdk::ParseAssignment("PR_IMPORTANCE=99999999999", &name, &v, &err), 0);
  EXPECT_NE(zuvsdk::ParseAssignment("=5", &name, &v, &err), 0);
  EXPECT_NE(zuvsdk::ParseAssignment("PR_SUBJECT", &name, &v, &err), 0);
  EXPECT_NE(zuvsdk::ParseAssignment("PR_ENTRYID=00", &name, &v, &err), 0);  // binaries cannot be sent
}

TEST(ValuesTest, FileTimesInEveryAcceptedForm) {
  TypedValue v;
  std::string err;
  ASSERT_EQ(zuvsdk::ParseTypedValue(64, "30000000:1234", &v, &err), 0);
  EXPECT_EQ(v.text, "30000000:1234");
  ASSERT_EQ(zuvsdk::ParseTypedValue(64, "1,2", &v, &err), 0);
  EXPECT_EQ(v.text, "1:2");
  // 2025-03-04T10:00:00Z is 133855560000000000 ticks since 1601.
  ASSERT_EQ(zuvsdk::ParseTypedValue(64, "2025-03-04T10:00:00Z", &v, &err), 0) << err;
  const uint64_t ticks = 133855560000000000ULL;
  EXPECT_EQ(v.text, std::to_string(ticks >> 32) + ":" + std::to_string(ticks & 0xFFFFFFFFu));
  EXPECT_EQ(zuvsdk::FileTimeText(std::to_string(ticks >> 32) + "," + std::to_string(ticks & 0xFFFFFFFFu)),
            "2025-03-04T10:00:00Z");
  EXPECT_NE(zuvsdk::ParseTypedValue(64, "yesterday", &v, &err), 0);
  EXPECT_EQ(zuvsdk::FileTimeText("x,y"), "");
}

}  // namespace
