// Changes zuvadmin makes reach the service's table notifications: this
// process logs on the way the service does (a profile, CMapiExMod, the
// Inbox's contents table with a CMAPISink), and zuvadmin, another process,
// delivers, sets a property and deletes a message.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/profile_admin.h"
#include "zuvadmin_fixture.h"

namespace zuvadmin_test {
namespace {

// Table events as the sink delivers them: the event and the row's subject.
class TableEvents {
 public:
  static LONG Callback(void* context, ULONG count, LPNOTIFICATION notes) {
    auto* self = static_cast<TableEvents*>(context);
    std::lock_guard<std::mutex> lock(self->mu_);
    for (ULONG i = 0; i < count; ++i) {
      if (notes[i].ulEventType != fnevTableModified) continue;
      const TABLE_NOTIFICATION& t = notes[i].info.tab;
      std::string subject;
      for (ULONG c = 0; c < t.row.cValues; ++c) {
        if (t.row.lpProps[c].ulPropTag == PR_SUBJECT) subject = t.row.lpProps[c].Value.lpszA;
      }
      self->events_.emplace_back(t.ulTableEvent, subject);
    }
    self->cv_.notify_all();
    return 0;
  }

  // True when an event of type (with that subject, unless empty) arrives
  // within a bound generous enough for a loaded machine.
  bool WaitFor(ULONG type, const std::string& subject) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const auto& [t, s] : events_) {
        if (t == type && (subject.empty() || s == subject)) return true;
      }
      return false;
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<ULONG, std::string>> events_;  // guarded by mu_
};

TEST_F(ZuvadminTest, ChangesReachTheServiceTableNotifications) {
  MakeMailbox();
  const char kMessage[] = "From: ann@example.net\nTo: jdoe@example.org\nSubject: first\n\nhello\n";
  RunResult first = Admin({"deliver", "jdoe", "--folder", "Inbox", "-"}, kMessage);
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string id = first.out.substr(0, first.out.size() - 1);

  zuvstore::SetStorePath(store_);
  ASSERT_TRUE(CMapiExMod::Init(true, false));
  ASSERT_EQ(zuv::CreateProfile("zuvadmin-test"), S_OK);
  ASSERT_EQ(zuv::AddMailboxToProfile(0, "MAIL01", "jdoe", "zuvadmin-test"), S_OK);
  {
    CMapiExMod module("zuvadmin-test");
    ASSERT_TRUE(module.Login("zuvadmin-test", "zuvadmin-test", false));
    std::unique_ptr<CMAPIFolder> inbox = module.OpenInbox();
    ASSERT_TRUE(inbox);
    auto columns = MakePropTags(PR_ENTRYID, PR_SUBJECT);
    IMAPITable* table = inbox->GetContentsTable(columns.get());
    ASSERT_NE(table, nullptr);
    TableEvents events;
    ULONG connection = 0;
    ASSERT_EQ(table->Advise(fnevTableModified, new CMAPISink(&TableEvents::Callback, &events), &connection), S_OK);

    RunResult r = Admin({"set-property", "jdoe", id, "PR_SUBJECT=changed by zuvadmin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(events.WaitFor(TABLE_ROW_MODIFIED, "changed by zuvadmin"));

    r = Admin({"delete-message", "jdoe", id});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(events.WaitFor(TABLE_ROW_DELETED, ""));

    r = Admin({"deliver", "jdoe", "--folder", "Inbox", "-"}, "Subject: second\nTo: jdoe@example.org\n\nagain\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(events.WaitFor(TABLE_ROW_ADDED, "second"));
    EXPECT_EQ(table->Unadvise(connection), S_OK);
  }
  CMapiExMod::Term();
}

}  // namespace
}  // namespace zuvadmin_test
