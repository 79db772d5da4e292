// Tests of the Notifier: routing of changes to folder and store
// subscribers, the end of a Notifier inside its own callback, and changes
// written by another process: found by the journal poll, brought at once by
// the writer's wake-up (the poll set too slow to deliver within the tests'
// bounds), and found again when the marker is removed or cannot be made. Unsubscribe's wait for a running callback is
// tested through Unadvise in table_store_test.cpp.
#include "notify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db.h"

namespace zuvstore {
namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// The object IDs a subscriber received, and how many calls brought them.
class Inbox {
 public:
  Notifier::Callback Callback() {
    return [this](const std::vector<ChangeEvent>& events) {
      std::lock_guard<std::mutex> lock(mu_);
      ++calls_;
      for (const ChangeEvent& e : events) ids_.push_back(e.object_id);
      cv_.notify_all();
    };
  }
  // The IDs once there are n of them (what there is after the deadline).
  std::vector<int64_t> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, kDeadline, [&] { return ids_.size() >= n; });
    return ids_;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int64_t> ids_;  // guarded by mu_
  int calls_ = 0;             // guarded by mu_
};

ChangeEvent Event(ChangeType type, int64_t folder, int64_t object, int64_t store = 1) {
  ChangeEvent e;
  e.store_id = store;
  e.type = type;
  e.folder_id = folder;
  e.object_id = object;
  return e;
}

// Commits one transaction that records events, from a thread of its own.
void Commit(Db& db, const std::vector<ChangeEvent>& events) {
  std::thread writer([&] {
    std::string err;
    EXPECT_EQ(db.Write(
                  [&](WriteTxn& txn) {
                    for (const ChangeEvent& e : events) txn.Emit(e);
                    return S_OK;
                  },
                  &err),
              S_OK)
        << err;
  });
  writer.join();
}

class NotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv_notify_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string err;
    ASSERT_EQ(Db::Open(dir_ + "/store.db", &db_, &err), S_OK) << err;
    notifier_ = Notifier::For(db_);
    ASSERT_EQ(Notifier::For(db_), notifier_);
  }
  void TearDown() override {
    Notifier::ResetPolling();
    notifier_.reset();
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  std::shared_ptr<Db> db_;
  std::shared_ptr<Notifier> notifier_;
};

TEST_F(NotifierTest, RoutesOneCallPerBatchByFolderAndStore) {
  Inbox folder10, folder20, store1;
  ASSERT_GT(notifier_->SubscribeFolder(10, folder10.Callback()), 0);
  ASSERT_GT(notifier_->SubscribeFolder(20, folder20.Callback()), 0);
  ASSERT_GT(notifier_->SubscribeStore(1, store1.Callback()), 0);
  ChangeEvent moved = Event(ChangeType::kMoved, 20, 4);
  moved.old_folder_id = 10;
  Commit(*db_, {Event(ChangeType::kCreated, 10, 1), Event(ChangeType::kModified, 20, 2),
                Event(ChangeType::kCreated, 30, 3, /*store=*/2), moved});

  EXPECT_EQ(store1.WaitFor(3), (std::vector<int64_t>{1, 2, 4}));
  EXPECT_EQ(folder10.WaitFor(2), (std::vector<int64_t>{1, 4}));  // a move reaches the old folder
  EXPECT_EQ(folder20.WaitFor(2), (std::vector<int64_t>{2, 4}));
  EXPECT_EQ(folder10.calls(), 1);
  EXPECT_EQ(store1.calls(), 1);
}

TEST_F(NotifierTest, LastReferenceDroppedInsideItsOwnCallback) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::shared_ptr<Notifier> held = std::move(notifier_);
  std::weak_ptr<Notifier> watch = held;
  ASSERT_GT(held->SubscribeFolder(10,
                                  [&](const std::vector<ChangeEvent>&) {
                                    held.reset();  // ends the Notifier on its own thread
                                    std::lock_guard<std::mutex> lock(mu);
                                    done = true;
                                    cv.notify_all();
                                  }),
            0);
  Commit(*db_, {Event(ChangeType::kCreated, 10, 1)});
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return done; }));
  }
  EXPECT_TRUE(watch.expired());

  // The database gets a working notifier again.
  notifier_ = Notifier::For(db_);
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  Commit(*db_, {Event(ChangeType::kCreated, 10, 2)});
  EXPECT_EQ(inbox.WaitFor(1), std::vector<int64_t>{2});
}

// ---- Another process ----

constexpr const char* kChildDbVar = "ZUV_NOTIFY_CHILD_DB";

// The child's part, run by SpawnWriter: commits two transactions.
TEST(NotifierChild, DISABLED_WriteForParent) {
  const char* path = std::getenv(kChildDbVar);
  ASSERT_NE(path, nullptr);
  std::shared_ptr<Db> db;
  std::string err;
  ASSERT_EQ(Db::Open(path, &db, &err), S_OK) << err;
  Commit(*db, {Event(ChangeType::kCreated, 10, 101), Event(ChangeType::kCreated, 99, 102)});
  Commit(*db, {Event(ChangeType::kDeleted, 10, 101)});
}

// Runs this binary again as the writer of path; returns its pid.
pid_t SpawnWriter(const std::string& path) {
  std::vector<std::string> env{std::string(kChildDbVar) + "=" + path};
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=NotifierChild.DISABLED_WriteForParent";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    execve(self.c_str(), argv, envp.data());
    _exit(127);
  }
  return pid;
}

TEST_F(NotifierTest, DeliversChangesOfAnotherProcess) {
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  const pid_t child = SpawnWriter(dir_ + "/store.db");
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  EXPECT_EQ(inbox.WaitFor(2), (std::vector<int64_t>{101, 101}));  // created, then deleted
}

// An hour: with the poll this slow, only a wake-up delivers within kDeadline.
constexpr int kNeverMs = 3600 * 1000;

// Runs the writer of path and checks it ended well.
void RunWriter(const std::string& path) {
  const pid_t child = SpawnWriter(path);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
}

TEST_F(NotifierTest, WakeUpDeliversAnotherProcessWithoutThePoll) {
  Notifier::SetPolling(kNeverMs, kNeverMs, true);
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  RunWriter(dir_ + "/store.db");
  EXPECT_EQ(inbox.WaitFor(2), (std::vector<int64_t>{101, 101}));
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/store.db-notify").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1);  // written over, never grown
}

TEST_F(NotifierTest, WakeUpReachesARemovedMarkersSuccessor) {
  Notifier::SetPolling(kNeverMs, kNeverMs, true);
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  // This process writes first, so it keeps the marker open when it goes.
  Commit(*db_, {Event(ChangeType::kCreated, 10, 1)});
  ASSERT_EQ(inbox.WaitFor(1), std::vector<int64_t>{1});
  ASSERT_EQ(unlink((dir_ + "/store.db-notify").c_str()), 0);
  RunWriter(dir_ + "/store.db");
  EXPECT_EQ(inbox.WaitFor(3), (std::vector<int64_t>{1, 101, 101}));
  // And this process's next commit wakes the others through the new one.
  Commit(*db_, {Event(ChangeType::kCreated, 10, 2)});
  EXPECT_EQ(inbox.WaitFor(4), (std::vector<int64_t>{1, 101, 101, 2}));
}

TEST_F(NotifierTest, UnmakeableMarkerFallsBackToThePollAndSaysSoOnce) {
  // A dangling link where the marker goes: it can be neither made nor
  // watched, and the poll must do.
  const std::string marker = dir_ + "/store.db-notify";
  ASSERT_EQ(symlink((dir_ + "/no/such/dir").c_str(), marker.c_str()), 0);
  Notifier::SetPolling(kNeverMs, 20, true);
  testing::internal::CaptureStderr();
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  RunWriter(dir_ + "/store.db");
  std::vector<int64_t> got = inbox.WaitFor(2);
  notifier_.reset();  // no more attempts to watch
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, (std::vector<int64_t>{101, 101}));
  size_t lines = 0;
  for (size_t at = err.find(marker); at != std::string::npos; at = err.find(marker, at + 1)) ++lines;
  EXPECT_EQ(lines, 1u) << err;
}

}  // namespace
}  // namespace zuvstore
