// Tests of profile administration (profiles, message services, profile
// sections, persistence) and of mapitags.h against the property tag table.
#include "profiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "com.h"
#include "db.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"

namespace zuvstore {
namespace {

constexpr ULONG kMarkerTag = 0x1000001E;    // marks the sections of existing services
constexpr ULONG kForceAccess = 0x00080000;  // MAPI_FORCE_ACCESS
constexpr char kNotFound[] = "<error 0x8004010f>";

std::string Bytes(const MAPIUID& uid) {
  return std::string(reinterpret_cast<const char*>(uid.ab), 16);
}

MAPIUID Uid(const std::string& bytes) {
  MAPIUID uid{};
  std::memcpy(uid.ab, bytes.data(), std::min<size_t>(bytes.size(), 16));
  return uid;
}

SPropValue StringValue(ULONG tag, const char* text) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(text);
  return v;
}

struct OneTag {
  explicit OneTag(ULONG tag) : tags{1, {tag}} {}
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(&tags); }
  SizedSPropTagArray(1, tags);
};

// Every row of table, all columns, as rows of property values; freed after fn.
void ForEachRow(IMAPITable* table, const std::function<void(const SPropValue*)>& fn) {
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
  for (ULONG i = 0; i < rows->cRows; ++i) fn(rows->aRow[i].lpProps);
  FreeProws(rows);
}

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv_profiles_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    OpenDb();
  }

  void TearDown() override {
    admin_.reset();
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  void OpenDb() {
    std::string err;
    ASSERT_EQ(Db::Open(dir_ + "/store.db", &db_, &err), S_OK) << err;
    ASSERT_EQ(CreateProfAdmin(db_, admin_.put()), S_OK);
  }

  HRESULT Create(const char* name) {
    return admin_->CreateProfile(const_cast<char*>(name), nullptr, 0, 0);
  }

  // "name" or "name*" (the default) for every profile row.
  std::vector<std::string> Profiles() {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(admin_->GetProfileTable(0, table.put()), S_OK);
    std::vector<std::string> out;
    ForEachRow(table.get(), [&](const SPropValue* v) {
      out.push_back(std::string(v[0].Value.lpszA) + (v[1].Value.b ? "*" : ""));
    });
    return out;
  }

  ComPtr<IMsgServiceAdmin> Services(const char* profile) {
    ComPtr<IMsgServiceAdmin> services;
    EXPECT_EQ(admin_->AdminServices(const_cast<char*>(profile), nullptr, 0, 0, services.put()),
              S_OK);
    return services;
  }

  // (UID bytes, service name) of every service row.
  std::vector<std::pair<std::string, std::string>> ServiceRows(IMsgServiceAdmin* services) {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(services->GetMsgServiceTable(0, table.put()), S_OK);
    std::vector<std::pair<std::string, std::string>> out;
    ForEachRow(table.get(), [&](const SPropValue* v) {
      EXPECT_EQ(v[0].ulPropTag, PR_SERVICE_UID);
      EXPECT_EQ(v[3].ulPropTag, PR_INSTANCE_KEY);
      out.emplace_back(std::string(reinterpret_cast<char*>(v[0].Value.bin.lpb), v[0].Value.bin.cb),
                       v[1].Value.lpszA);
    });
    return out;
  }

  MAPIUID AddService(IMsgServiceAdmin* services, const char* name) {
    ComPtr<IMsgServiceAdmin2> admin2;
    MAPIUID uid{};
    EXPECT_EQ(
        services->QueryInterface(IID_IMsgServiceAdmin2, reinterpret_cast<void**>(admin2.put())),
        S_OK);
    if (admin2)
      EXPECT_EQ(admin2->CreateMsgServiceEx(const_cast<char*>(name), nullptr, 0, 0, &uid), S_OK);
    return uid;
  }

  ComPtr<IProfSect> Section(IMsgServiceAdmin* services, MAPIUID uid, ULONG flags,
                            HRESULT expect = S_OK) {
    ComPtr<IProfSect> sect;
    EXPECT_EQ(services->OpenProfileSection(&uid, nullptr, flags, sect.put()), expect);
    return sect;
  }

  // The string value of tag in sect, or kNotFound-style "<error 0x...>".
  std::string Get(IProfSect* sect, ULONG tag) {
    OneTag tags(tag);
    ULONG count = 0;
    LPSPropValue v = nullptr;
    HRESULT hr = sect->GetProps(tags.get(), 0, &count, &v);
    if (v == nullptr) return "<no values>";
    std::ostringstream out;
    if (PROP_TYPE(v[0].ulPropTag) == PT_ERROR) {
      EXPECT_EQ(hr, MAPI_W_ERRORS_RETURNED);
      out << "<error 0x" << std::hex << static_cast<uint32_t>(v[0].Value.err) << ">";
    } else {
      out << v[0].Value.lpszA;
    }
    MAPIFreeBuffer(v);
    return out.str();
  }

  void SetMeta(const char* key, const char* value) {
    std::string err;
    ASSERT_EQ(db_->Write(
                  [&](WriteTxn& txn) {
                    Stmt s(txn.conn(), "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
                    s.Bind(1, std::string_view(key)).Bind(2, std::string_view(value));
                    return s.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
                  },
                  &err),
              S_OK);
  }

  int64_t CountSections() {
    int64_t n = -1;
    std::string err;
    EXPECT_EQ(db_->Read(
                  [&](sqlite3* conn) {
                    Stmt s(conn, "SELECT COUNT(*) FROM profile_sections");
                    if (s.Step() == SQLITE_ROW) n = s.Int(0);
                    return S_OK;
                  },
                  &err),
              S_OK);
    return n;
  }

  ProfileInfo Read(const char* name, HRESULT expect = S_OK) {
    ProfileInfo info;
    std::string err;
    EXPECT_EQ(db_->Read([&](sqlite3* conn) { return ReadProfile(conn, name, &info); }, &err),
              expect);
    return info;
  }

  std::string dir_;
  std::shared_ptr<Db> db_;
  ComPtr<IProfAdmin> admin_;
};

using Strings = std::vector<std::string>;

TEST_F(ProfilesTest, ProfileNamesAreUniqueWithoutRegardToCase) {
  ASSERT_EQ(Create("ZUV Service"), S_OK);
  EXPECT_EQ(Create("zuv SERVICE"), MAPI_E_NO_ACCESS);
  ASSERT_EQ(Create("Second"), S_OK);
  EXPECT_EQ(Profiles(), (Strings{"ZUV Service*", "Second"}));
  EXPECT_EQ(Create(""), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(admin_->CreateProfile(nullptr, nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);

  EXPECT_EQ(admin_->DeleteProfile(const_cast<char*>("zuv service"), 0), S_OK);
  EXPECT_EQ(admin_->DeleteProfile(const_cast<char*>("ZUV Service"), 0), MAPI_E_NOT_FOUND);
  EXPECT_EQ(Profiles(), (Strings{"Second*"}));

  ComPtr<IMsgServiceAdmin> services;
  EXPECT_EQ(admin_->AdminServices(const_cast<char*>("nobody"), nullptr, 0, 0, services.put()),
            MAPI_E_NOT_FOUND);
}

TEST_F(ProfilesTest, ConcurrentCreatesOfOneNameLetExactlyOneWin) {
  constexpr int kThreads = 8;
  std::vector<HRESULT> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { results[i] = Create(i % 2 ? "Race" : "RACE"); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::count(results.begin(), results.end(), S_OK), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), MAPI_E_NO_ACCESS), kThreads - 1);
}

TEST_F(ProfilesTest, ServicesGetRowsSectionsAndConfigurationThatReadProfileSees) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  ComPtr<IMsgServiceAdmin> services = Services("ZUV");
  MAPIUID ems = AddService(services.get(), "MSEMS");
  ASSERT_EQ(services->CreateMsgService(const_cast<char*>("OTHER"), nullptr, 0, 0), S_OK);
  auto rows = ServiceRows(services.get());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], std::make_pair(Bytes(ems), std::string("MSEMS")));
  EXPECT_EQ(rows[1].second, "OTHER");
  EXPECT_EQ(rows[1].first.size(), 16u);

  SPropValue config[] = {StringValue(PR_PROFILE_UNRESOLVED_SERVER, "exch1"),
                         StringValue(PR_PROFILE_UNRESOLVED_NAME, "alice")};
  ASSERT_EQ(services->ConfigureMsgService(&ems, 0, 0, 2, config), S_OK);
  MAPIUID unknown{};
  EXPECT_EQ(services->ConfigureMsgService(&unknown, 0, 0, 2, config), MAPI_E_NOT_FOUND);

  ProfileInfo info = Read("zuv");
  EXPECT_EQ(info.name, "Zuv");
  ASSERT_EQ(info.services.size(), 2u);
  const ServiceInfo* found = FindService(info, "msems");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(Bytes(found->uid), Bytes(ems));
  std::string server, mailbox, kind;
  EXPECT_TRUE(GetString(found->props.at(PROP_ID(PR_PROFILE_UNRESOLVED_SERVER)), &server));
  EXPECT_TRUE(GetString(found->props.at(PROP_ID(PR_PROFILE_UNRESOLVED_NAME)), &mailbox));
  EXPECT_TRUE(GetString(found->props.at(PROP_ID(PR_SERVICE_NAME)), &kind));
  EXPECT_EQ(server + "/" + mailbox + "/" + kind, "exch1/alice/MSEMS");
  Read("missing", MAPI_E_NOT_FOUND);

  ASSERT_EQ(services->DeleteMsgService(&ems), S_OK);
  EXPECT_EQ(services->DeleteMsgService(&ems), MAPI_E_NOT_FOUND);
  EXPECT_EQ(ServiceRows(services.get()).size(), 1u);
  Section(services.get(), ems, 0, MAPI_E_NOT_FOUND);
}

TEST_F(ProfilesTest, ServiceAdmin2IsOfferedUnlessWithdrawn) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  MAPIUID uid = AddService(Services("Zuv").get(), "MSEMS");
  EXPECT_EQ(ServiceRows(Services("Zuv").get()).at(0).first, Bytes(uid));

  SetMeta(kServiceAdmin2Key, "0");
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(Services("Zuv")->QueryInterface(IID_IMsgServiceAdmin2, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  SetMeta(kServiceAdmin2Key, "1");
  ASSERT_EQ(Services("Zuv")->QueryInterface(IID_IMsgServiceAdmin2, &p), S_OK);
  static_cast<IMsgServiceAdmin2*>(p)->Release();
}

// Without IMsgServiceAdmin2 a caller finds its new service by marking the
// sections of the existing ones first, which needs sections to write through.
TEST_F(ProfilesTest, MarkingExistingSectionsIdentifiesTheNewService) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  ComPtr<IMsgServiceAdmin> services = Services("Zuv");
  char msems[] = "MSEMS";
  ASSERT_EQ(services->CreateMsgService(msems, nullptr, 0, 0), S_OK);
  ASSERT_EQ(services->CreateMsgService(msems, nullptr, 0, 0), S_OK);
  SPropValue marker = StringValue(kMarkerTag, "Existing Provider Marker");
  auto before = ServiceRows(services.get());
  for (const auto& [uid, name] : before) {
    ComPtr<IProfSect> sect = Section(services.get(), Uid(uid), MAPI_MODIFY | kForceAccess);
    ASSERT_EQ(sect->SetProps(1, &marker, nullptr), S_OK);
  }
  ASSERT_EQ(services->CreateMsgService(msems, nullptr, 0, 0), S_OK);

  Strings unmarked;
  for (const auto& [uid, name] : ServiceRows(services.get())) {
    ComPtr<IProfSect> sect = Section(services.get(), Uid(uid), MAPI_MODIFY);
    if (Get(sect.get(), kMarkerTag) != marker.Value.lpszA) unmarked.push_back(uid);
    OneTag tags(kMarkerTag);
    ASSERT_EQ(sect->DeleteProps(tags.get(), nullptr), S_OK);
  }
  ASSERT_EQ(unmarked.size(), 1u);
  for (const auto& [uid, name] : before) EXPECT_NE(uid, unmarked[0]);
  for (const ServiceInfo& s : Read("Zuv").services)
    EXPECT_EQ(s.props.count(PROP_ID(kMarkerTag)), 0u);
}

TEST_F(ProfilesTest, SectionsOfAnyUidReadWriteAndReportMissingProperties) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  ComPtr<IMsgServiceAdmin> services = Services("Zuv");
  MAPIUID global{{0x13, 0xDB, 0xB0, 0xC8, 0xAA, 0x05, 0x10, 0x1A, 0x9B, 0xB0, 0x00, 0xAA, 0x00,
                  0x2F, 0xC4, 0x5A}};
  Section(services.get(), global, 0, MAPI_E_NOT_FOUND);
  ComPtr<IProfSect> sect = Section(services.get(), global, MAPI_MODIFY);
  ComPtr<IProfSect> reader = Section(services.get(), global, 0);

  SPropValue values[2] = {StringValue(PR_PROFILE_USER, "/o=Org/cn=alice"), {}};
  values[1].ulPropTag = PROP_TAG(PT_ERROR, 0x6001);  // cannot be stored: a problem, not a failure
  LPSPropProblemArray problems = nullptr;
  ASSERT_EQ(sect->SetProps(2, values, &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  EXPECT_EQ(problems->cProblem, 1u);
  EXPECT_EQ(problems->aProblem[0].ulIndex, 1u);
  MAPIFreeBuffer(problems);
  EXPECT_EQ(reader->SetProps(1, values, nullptr), MAPI_E_NO_ACCESS);

  EXPECT_EQ(Get(reader.get(), PR_PROFILE_USER), "/o=Org/cn=alice");
  EXPECT_EQ(Get(reader.get(), PR_PROFILE_HOME_SERVER), kNotFound);
  ULONG count = 0;
  LPSPropValue all = nullptr;
  ASSERT_EQ(reader->GetProps(nullptr, MAPI_UNICODE, &count, &all), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(all[0].ulPropTag, PR_PROFILE_USER_W);
  MAPIFreeBuffer(all);

  OneTag user(PR_PROFILE_USER);
  ASSERT_EQ(sect->DeleteProps(user.get(), &problems), S_OK);
  EXPECT_EQ(problems, nullptr);
  EXPECT_EQ(Get(reader.get(), PR_PROFILE_USER), kNotFound);
}

TEST_F(ProfilesTest, DeletingAProfileRemovesItsServicesAndSections) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  ComPtr<IMsgServiceAdmin> services = Services("Zuv");
  AddService(services.get(), "MSEMS");
  MAPIUID other{{1, 2, 3}};
  ComPtr<IProfSect> sect = Section(services.get(), other, MAPI_MODIFY);
  ASSERT_EQ(admin_->DeleteProfile(const_cast<char*>("ZUV"), 0), S_OK);
  EXPECT_EQ(CountSections(), 0);

  // Objects opened on the deleted profile fail rather than bring it back.
  SPropValue v = StringValue(PR_PROFILE_USER, "x");
  EXPECT_EQ(sect->SetProps(1, &v, nullptr), MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(services->CreateMsgService(const_cast<char*>("MSEMS"), nullptr, 0, 0),
            MAPI_E_OBJECT_DELETED);
  Section(services.get(), other, MAPI_MODIFY, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(CountSections(), 0);

  ASSERT_EQ(Create("zuv"), S_OK);
  EXPECT_TRUE(ServiceRows(Services("Zuv").get()).empty());
}

TEST_F(ProfilesTest, ProfilesServicesAndSectionsSurviveReopeningTheDatabase) {
  ASSERT_EQ(Create("Zuv"), S_OK);
  MAPIUID uid = AddService(Services("Zuv").get(), "MSEMS");
  SPropValue config = StringValue(PR_PROFILE_UNRESOLVED_NAME, "alice");
  ASSERT_EQ(Services("Zuv")->ConfigureMsgService(&uid, 0, 0, 1, &config), S_OK);

  admin_.reset();
  std::weak_ptr<Db> old = db_;
  db_.reset();
  ASSERT_TRUE(old.expired()) << "an object still holds the database";
  OpenDb();

  EXPECT_EQ(Profiles(), (Strings{"Zuv*"}));
  ComPtr<IMsgServiceAdmin> services = Services("zuv");
  EXPECT_EQ(ServiceRows(services.get()).at(0).first, Bytes(uid));
  EXPECT_EQ(Get(Section(services.get(), uid, 0).get(), PR_PROFILE_UNRESOLVED_NAME), "alice");
  EXPECT_EQ(Create("ZUV"), MAPI_E_NO_ACCESS);
}

// Every PR_ constant of mapitags.h names its tag in the property tag table;
// a name the table lacks is the _A/_W form of a string property it has.
TEST(MapiTagsTest, EveryConstantMatchesThePropertyTagTable) {
  const std::filesystem::path here = std::filesystem::path(__FILE__).parent_path();
  std::ifstream header(here / "../include/mapi/mapitags.h");
  std::ifstream table(here / "../../zuv_service/mapi_access/data/proptags.tsv");
  ASSERT_TRUE(header.is_open() && table.is_open());

  std::multimap<std::string, ULONG> known;
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string tag, sort, name;
    if (line.empty() || line[0] == '#' || !(fields >> tag >> sort >> name)) continue;
    known.emplace(name, static_cast<ULONG>(std::stoul(tag, nullptr, 16)));
  }
  auto has = [&](const std::string& name, ULONG tag) {
    auto [lo, hi] = known.equal_range(name);
    return std::any_of(lo, hi, [tag](const auto& entry) { return entry.second == tag; });
  };

  const std::regex constant(R"(inline constexpr ULONG (PR_\w+) = 0x([0-9A-Fa-f]{8});)");
  int checked = 0;
  while (std::getline(header, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, constant)) continue;
    const std::string name = m[1];
    const ULONG tag = static_cast<ULONG>(std::stoul(m[2], nullptr, 16));
    ++checked;
    if (known.count(name) != 0) {
      EXPECT_TRUE(has(name, tag)) << name;
      continue;
    }
    const std::string suffix = name.substr(name.size() - 2);
    ASSERT_TRUE(suffix == "_A" || suffix == "_W") << name << " is not in the table";
    const ULONG mv = PROP_TYPE(tag) & MV_FLAG;
    EXPECT_EQ(PROP_TYPE(tag), mv | (suffix == "_A" ? PT_STRING8 : PT_UNICODE)) << name;
    EXPECT_TRUE(has(name.substr(0, name.size() - 2), CHANGE_PROP_TYPE(tag, mv | PT_STRING8)))
        << name;
  }
  EXPECT_GT(checked, 100);
}

}  // namespace
}  // namespace zuvstore
